@echo off
rem Removes what activator-register.cmd registered.
reg delete "HKCU\Software\Classes\CLSID\{8B9C4F9A-5A8D-4B9D-AE65-7A4D6C3F92B1}" /f >nul 2>&1
echo unregistered
