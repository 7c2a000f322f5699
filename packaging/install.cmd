@echo off
rem Installs KorvoUPS: copies the driver to System32 and lists its models
rem among the UPS service's providers.
rem   install.cmd [COMn] [/turnoff]     (from an administrator's command prompt)
rem COMn sets the UPS service's port, as the Select dialog of Power Options
rem does; the installation is finished there (see the steps printed below).
rem /turnoff lets the driver turn the UPS off after a power-failure shutdown
rem (see "Turning the UPS off" in README.md).
rem Exit code: 0 done, 1 not installed, 2 installed but the UPS service did not start.
setlocal
cd /d "%~dp0"
set PORT=
set TURNOFF=
:arguments
if "%~1"=="" goto arguments_done
if /i "%~1"=="/turnoff" (set TURNOFF=1) else (set PORT=%~1)
shift
goto arguments
:arguments_done
rem From a 32-bit prompt on 64-bit Windows, System32 is the 32-bit one:
rem the 64-bit tools are reached through Sysnative.
set TOOLS=%SystemRoot%\System32
if exist "%SystemRoot%\Sysnative\rundll32.exe" set TOOLS=%SystemRoot%\Sysnative
set PROVIDERS=HKLM\SYSTEM\CurrentControlSet\Services\UPS\ServiceProviders\KorvoUPS

rem A running service holds the DLL: it is stopped while the DLL is replaced.
echo Stopping the UPS service...
net stop ups >nul 2>&1

echo Copying KorvoUPS.dll to %SystemRoot%\System32 and listing its models...
"%TOOLS%\rundll32.exe" setupapi.dll,InstallHinfSection DefaultInstall 128 .\korvoups.inf
"%TOOLS%\reg.exe" query "%PROVIDERS%" /v "Q1 serial UPS" >nul 2>&1
if errorlevel 1 goto not_installed

if "%PORT%"=="" goto turn_off
echo Setting the UPS service's port to %PORT%...
"%TOOLS%\reg.exe" add "HKLM\SYSTEM\CurrentControlSet\Services\UPS" /v Port /t REG_SZ /d "%PORT%" /f >nul
if errorlevel 1 goto not_installed

:turn_off
set MODEL=Q1 serial UPS
if "%TURNOFF%"=="" goto start_service
echo Letting the driver turn the UPS off after a power-failure shutdown...
"%TOOLS%\reg.exe" add "HKLM\SOFTWARE\KorvoUPS" /v TurnOff /t REG_DWORD /d 1 /f >nul
if errorlevel 1 goto not_installed
set MODEL=Q1 serial UPS (turns off after shutdown)

:start_service
echo.
echo To finish, choose the UPS for the UPS service:
echo   Control Panel, Power Options, tab UPS, Select...
echo   manufacturer: KorvoUPS, model: %MODEL%, port: the UPS's COM port
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
