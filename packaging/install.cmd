@echo off
rem Installs KorvoUPS, the way this Windows runs it:
rem   install.cmd COMn [/turnoff]     (from an administrator's command prompt)
rem Where Windows has a UPS service of its own (2000, XP, Server 2003), that
rem service loads the driver: the driver goes to System32 and its models to
rem the service's list, to be chosen in Power Options (the steps are printed
rem below); COMn sets the service's port, as the Select dialog does.
rem Everywhere else (Vista and later, XP Embedded without the UPS service)
rem the KorvoUPS service and the driver go to %ProgramFiles%\KorvoUPS, and the
rem service is installed for the UPS on COMn and started.
rem /turnoff lets the UPS be turned off after a power-failure shutdown (see
rem "Turning the UPS off" in README.md).
rem Exit code: 0 done, 1 not installed, 2 installed but not started.
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
set SERVICE=HKLM\SYSTEM\CurrentControlSet\Services\UPS
set PROVIDERS=%SERVICE%\ServiceProviders\KorvoUPS

rem A UPS service that is not KorvoUPS is Windows' own. (The program's
rem name is looked for in the service's ImagePath by cmd itself: find and
rem findstr differ between Windows versions.)
set IMAGE=
for /f "tokens=1,2,*" %%a in ('reg.exe query "%SERVICE%" /v ImagePath 2^>nul') do if /i "%%a"=="ImagePath" set IMAGE=%%c
if not defined IMAGE goto service
set IMAGE=%IMAGE:"=%
if /i not "%IMAGE:korvoups-service.exe=%"=="%IMAGE%" goto service

rem ---- Windows' own UPS service loads the driver --------------------------
rem A running service holds the DLL: it is stopped while the DLL is replaced.
echo Stopping the UPS service...
"%TOOLS%\net.exe" stop ups >nul 2>&1

echo Copying KorvoUPS.dll to %SystemRoot%\System32 and listing its models...
"%TOOLS%\rundll32.exe" setupapi.dll,InstallHinfSection DefaultInstall 128 .\korvoups.inf
"%TOOLS%\reg.exe" query "%PROVIDERS%" /v "Q1 serial UPS" >nul 2>&1
if errorlevel 1 goto not_installed

if "%PORT%"=="" goto inf_turn_off
echo Setting the UPS service's port to %PORT%...
"%TOOLS%\reg.exe" add "%SERVICE%" /v Port /t REG_SZ /d "%PORT%" /f >nul
if errorlevel 1 goto not_installed

:inf_turn_off
set MODEL=Q1 serial UPS
if "%TURNOFF%"=="" goto inf_start
call :turn_off
if errorlevel 1 goto not_installed
set MODEL=Q1 serial UPS (turns off after shutdown)

:inf_start
echo.
echo To finish, choose the UPS for the UPS service:
echo   Control Panel, Power Options, tab UPS, Select...
echo   manufacturer: KorvoUPS, model: %MODEL%, port: the UPS's COM port
echo   Finish, then OK.
echo.
echo Starting the UPS service...
"%TOOLS%\net.exe" start ups >nul 2>&1
if errorlevel 1 goto not_started
echo KorvoUPS is installed and the UPS service is running.
exit /b 0

rem ---- The KorvoUPS service -----------------------------------------------
:service
if "%PORT%"=="" (
    echo Name the UPS's port: install.cmd COMn [/turnoff]
    exit /b 1
)
rem The 32-bit service on 64-bit Windows would see another registry.
set VERSION=
for /f "delims=" %%v in ('korvoups-service.exe --version 2^>nul') do set VERSION=%%v
if not defined VERSION goto other_architecture
if "%VERSION:(x86)=%"=="%VERSION%" goto service_folder
if defined PROCESSOR_ARCHITEW6432 goto other_architecture
if /i not "%PROCESSOR_ARCHITECTURE%"=="x86" goto other_architecture
:service_folder
set DEST=%ProgramFiles%\KorvoUPS
if defined ProgramW6432 set DEST=%ProgramW6432%\KorvoUPS

rem A running service holds its files: it is stopped while they are replaced.
"%TOOLS%\net.exe" stop ups >nul 2>&1
echo Copying the service and the driver to %DEST%...
if not exist "%DEST%" mkdir "%DEST%"
copy /y korvoups-service.exe "%DEST%" >nul
if errorlevel 1 goto not_installed
copy /y KorvoUPS.dll "%DEST%" >nul
if errorlevel 1 goto not_installed
"%DEST%\korvoups-service.exe" install %PORT%
if errorlevel 1 goto not_installed
if "%TURNOFF%"=="" goto service_start
call :turn_off
if errorlevel 1 goto not_installed
:service_start
echo Starting the UPS service...
"%TOOLS%\net.exe" start ups >nul 2>&1
if errorlevel 1 goto not_started
echo KorvoUPS is installed and the UPS service is running: "%DEST%\korvoups-service.exe" status
exit /b 0

:turn_off
echo Letting the UPS be turned off after a power-failure shutdown...
"%TOOLS%\reg.exe" add "HKLM\SOFTWARE\KorvoUPS" /v TurnOff /t REG_DWORD /d 1 /f >nul
exit /b %errorlevel%

:other_architecture
echo This package's service is for another Windows: run install.cmd of the other folder, x86 (32-bit) or amd64 (64-bit).
exit /b 1

:not_started
echo KorvoUPS is installed, but the UPS service did not start: see "Troubleshooting" in README.md.
exit /b 2

:not_installed
echo KorvoUPS was not installed: run this from an administrator's command prompt.
exit /b 1
