@echo off
rem Registers the activator, from the folder this script is in, as the COM
rem local server of its class identifier for the current user, so that an
rem activation for that class starts it. Run once after copying the program
rem into its folder; activator-unregister.cmd undoes it.
rem   activator-register.cmd                    registers activator.exe
rem   activator-register.cmd activator-flat.exe registers the flat variant
setlocal
set PROGRAM=%~1
if "%PROGRAM%"=="" set PROGRAM=activator.exe
set CLSID={8B9C4F9A-5A8D-4B9D-AE65-7A4D6C3F92B1}
set KEY=HKCU\Software\Classes\CLSID\%CLSID%
if not exist "%~dp0%PROGRAM%" (
  echo %PROGRAM% is not beside this script
  exit /b 1
)
reg add "%KEY%" /ve /d "Zorvell notification activator" /f >nul
if errorlevel 1 exit /b 1
reg add "%KEY%\LocalServer32" /ve /d "\"%~dp0%PROGRAM%\"" /f >nul
if errorlevel 1 exit /b 1
echo registered %CLSID% to %~dp0%PROGRAM%
