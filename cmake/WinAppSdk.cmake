# Microsoft's Windows App SDK packages as scripts/fetch-winappsdk fetches them
# (their folder given as ACTIVATOR_WINAPPSDK_PACKAGES): the Foundation
# package's folder, its x64 bootstrap library and its include folder. Each is
# empty when the packages were not given or the version is not there.
set(ACTIVATOR_WINAPPSDK_PACKAGES "" CACHE PATH
    "Folder of the Windows App SDK NuGet packages (the output of scripts/fetch-winappsdk)")
# The pin of scripts/fetch-winappsdk.
set(ACTIVATOR_WINAPPSDK_FOUNDATION_VERSION 2.6.5)
set(ACTIVATOR_WINAPPSDK_FOUNDATION "")
set(ACTIVATOR_WINAPPSDK_BOOTSTRAP_DLL "")
set(ACTIVATOR_WINAPPSDK_INCLUDE "")
if(ACTIVATOR_WINAPPSDK_PACKAGES)
  set(_foundation "${ACTIVATOR_WINAPPSDK_PACKAGES}/microsoft.windowsappsdk.foundation/${ACTIVATOR_WINAPPSDK_FOUNDATION_VERSION}")
  if(EXISTS "${_foundation}/runtimes/win-x64/native/Microsoft.WindowsAppRuntime.Bootstrap.dll")
    set(ACTIVATOR_WINAPPSDK_FOUNDATION "${_foundation}")
    set(ACTIVATOR_WINAPPSDK_BOOTSTRAP_DLL
        "${_foundation}/runtimes/win-x64/native/Microsoft.WindowsAppRuntime.Bootstrap.dll")
    set(ACTIVATOR_WINAPPSDK_INCLUDE "${_foundation}/include")
  else()
    message(FATAL_ERROR "ACTIVATOR_WINAPPSDK_PACKAGES holds no Foundation ${ACTIVATOR_WINAPPSDK_FOUNDATION_VERSION}: run scripts/fetch-winappsdk")
  endif()
endif()
