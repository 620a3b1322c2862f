@echo off
rem Undoes the installation's registrations, before the program is deleted:
rem the notification platform's registration of the program (which the
rem program's own Register made, and only the program can remove:
rem "<program> --unregister"), then what activator-register.cmd registered.
rem Run it as the user who ran the program, not as administrator, with the
rem activator ended.
rem   activator-unregister.cmd                    for activator.exe
rem   activator-unregister.cmd activator-flat.exe for the flat variant
setlocal
set PROGRAM=%~1
if "%PROGRAM%"=="" set PROGRAM=activator.exe
if not exist "%~dp0%PROGRAM%" goto classes
rem A program without a console: start /wait waits for it and its exit code.
start "" /wait "%~dp0%PROGRAM%" --unregister
if errorlevel 1 goto failed
:classes
reg delete "HKCU\Software\Classes\CLSID\{8B9C4F9A-5A8D-4B9D-AE65-7A4D6C3F92B1}" /f >nul 2>&1
echo unregistered
exit /b 0
:failed
echo %PROGRAM% --unregister failed with exit code %errorlevel%: see its debug log
exit /b 1
