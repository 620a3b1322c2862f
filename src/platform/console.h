// The console of the program that started this one, for the few lines the
// activator prints (--help, --version, a wrong argument). A program of the
// Windows subsystem, as the activator is (started by the Run key or by COM, it
// must open no console window of its own), gets standard output and error
// only when its starter hands it some: run from cmd.exe or PowerShell, it has
// neither, and what it prints is lost.
#pragma once

namespace activator {

// Points standard output and error that lead nowhere at the starter's
// console, when the starter has one; streams the starter redirected stay as
// they are. Call before the first print. Nothing to do on POSIX, where a
// program always has its starter's streams.
void ReachStartersConsole() noexcept;

}  // namespace activator
