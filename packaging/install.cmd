@echo off
rem Installs KorvoUPS: copies the driver to System32 and lists its models
rem among the UPS service's providers.
rem   install.cmd [COMn]     (from an administrator's command prompt)
rem COMn sets the UPS service's port, as the Select dialog of Power Options
rem does; the installation is finished there (see the steps printed below).
rem Exit code: 0 done, 1 not installed, 2 installed but the UPS service did not start.
setlocal
cd /d "%~dp0"
set PORT=%~1
rem From a 32-bit prompt on 64-bit Windows, System32 is the 32-bit one:
rem the 64-bit tools are reached through Sysnative.
set TOOLS=%SystemRoot%\System32
if exist "%SystemRoot%\Sysnative\rundll32.exe" set TOOLS=%SystemRoot%\Sysnative
set PROVIDERS=HKLM\SYSTEM\CurrentControlSet\Services\UPS\ServiceProviders\KorvoUPS

rem A running service holds the DLL: it is stopped while the DLL is replaced.
echo Stopping the UPS service...
net stop ups >nul 2>&1

echo Copying KorvoUPS.dll to %SystemRoot%\System32 and listing its model...
"%TOOLS%\rundll32.exe" setupapi.dll,InstallHinfSection DefaultInstall 128 .\korvoups.inf
"%TOOLS%\reg.exe" query "%PROVIDERS%" /v "Q1 serial UPS" >nul 2>&1
if errorlevel 1 goto not_installed

if "%PORT%"=="" goto start_service
echo Setting the UPS service's port to %PORT%...
"%TOOLS%\reg.exe" add "HKLM\SYSTEM\CurrentControlSet\Services\UPS" /v Port /t REG_SZ /d "%PORT%" /f >nul
if errorlevel 1 goto not_installed

:start_service
echo.
echo To finish, choose the UPS for the UPS service:
echo   Control Panel, Power Options, tab UPS, Select...
echo   manufacturer: KorvoUPS, model: Q1 serial UPS, port: the UPS's COM port
echo   Finish, then OK.
echo.
echo Starting the UPS service...
net start ups >nul 2>&1
if errorlevel 1 goto not_started
echo KorvoUPS is installed and the UPS service is running.
exit /b 0

:not_started
echo KorvoUPS is installed, but the UPS service did not start: see "Troubleshooting" in README.md.
exit /b 2

:not_installed
echo KorvoUPS was not installed: run this from an administrator's command prompt.
exit /b 1
