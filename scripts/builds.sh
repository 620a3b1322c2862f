# The suite's three Linux builds, as scripts/test and scripts/shake make them.
# Sourced, with $root set to the checkout.
#
#   plain  build       clang, warnings as errors, thread-safety analysis
#   asan   build-asan  AddressSanitizer + UndefinedBehaviorSanitizer, the fuzz
#                      targets and the scaled-down stress run
#   tsan   build-tsan  ThreadSanitizer, the threaded tests' programs alone

jobs=$(nproc)
# The tests mostly wait (on the bus, on the programs they start, on
# time-outs), so twice as many run at once as there are cores.
test_jobs=$((jobs * 2))
common=(-G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DACTIVATOR_WERROR=ON)

# The builds share one compiler cache, with paths taken relative to the
# checkout: the package's objects are the plain build's, and a second run on
# the same machine compiles only what changed.
# The build folder is left out of the key of objects with debug information
# (CCACHE_NOHASHDIR), or no two folders would share one.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/support/tsan.supp"

# suite_build <plain|asan|tsan>: configures and builds it. Sets suite_dir (its
# folder) and suite_ctest (the ctest arguments that pick its tests).
suite_build() {
  local target=all cmake_args
  case $1 in
    # The stress run (a minute of a real program under load) runs once, where
    # it finds the most: under the sanitizers.
    plain)
      suite_dir=build suite_ctest=(-LE stress)
      cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)
      suite_dir=build-asan suite_ctest=()
      cmake_args=(-DCMAKE_BUILD_TYPE=Debug -DACTIVATOR_SANITIZE=address,undefined -DACTIVATOR_FUZZ=ON) ;;
    tsan)
      suite_dir=build-tsan suite_ctest=(-L threaded) target=threaded_tests
      cmake_args=(-DCMAKE_BUILD_TYPE=Debug -DACTIVATOR_SANITIZE=thread) ;;
    *) echo "suite_build: no build named $1" >&2; return 1 ;;
  esac
  echo "=== $suite_dir: configure"
  cmake -S "$root" -B "$root/$suite_dir" "${common[@]}" "${cmake_args[@]}" >/dev/null
  echo "=== $suite_dir: build"
  cmake --build "$root/$suite_dir" -j "$jobs" --target "$target"
}
