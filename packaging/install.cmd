@echo off
rem Installs KorvoUPS, the way this Windows runs it:
rem   install.cmd COMn [/turnoff]     (from an administrator's command prompt)
rem   install.cmd /ups NAME@HOST[:PORT] /user NAME
rem                                   (a UPS that another machine serves, on
rem                                   Vista and later: the service follows it
rem                                   as a secondary; asks for the password)
rem Where Windows has a UPS service of its own (2000, XP, Server 2003), that
rem service loads the driver: the driver goes to System32 and its models to
rem the service's list, to be chosen in Power Options (the steps are printed
rem below); COMn sets the service's port, as the Select dialog does.
rem Everywhere else (Vista and later, XP Embedded without the UPS service)
rem the KorvoUPS service and the driver go to %ProgramFiles%\KorvoUPS, and the
rem service is installed for the UPS on COMn and started. Run again (another
rem version, another port), it stops the service and waits until it and its
rem commands have ended, replaces the files (the previous ones are kept until
rem the new ones run), starts it and checks that it runs; on any failure it
rem names the cause and puts back what ran before. Then it waits up to 10 s
rem for the UPS's first answer (with /ups, the primary's).
rem /turnoff lets the UPS be turned off after a power-failure shutdown (see
rem "Turning the UPS off" in README.md).
rem Exit code:
rem   0  done: the service runs and the UPS answers (the driver path: the
rem      driver is installed and the UPS service runs)
rem   1  not installed: nothing changed, or what ran before was put back and
rem      runs again (not an administrator, the other architecture's folder,
rem      a file held by another program, a new version that did not run)
rem   2  the UPS service does not run: installed but not started, or what ran
rem      before could not be started again
rem   3  installed and running, but no UPS has answered on COMn yet: the
rem      service keeps trying (check the cable and the port); with /ups, the
rem      primary has not answered yet
setlocal
cd /d "%~dp0"
set PORT=
set TURNOFF=
set UPS=
set UPSUSER=
:arguments
if "%~1"=="" goto arguments_done
if /i "%~1"=="/ups" (
    set UPS=%~2
    shift
) else if /i "%~1"=="/user" (
    set UPSUSER=%~2
    shift
) else if /i "%~1"=="/turnoff" (set TURNOFF=1) else (set PORT=%~1)
shift
goto arguments
:arguments_done
rem A UPS that another machine serves: no port, and no turn-off, the UPS being its primary's.
if not defined UPS goto port_given
if defined PORT goto bad_ups
if defined TURNOFF goto bad_ups
if not defined UPSUSER goto bad_ups
:port_given
rem COM1 to COM255, checked before anything changes (the driver path writes it as it is).
if "%PORT%"=="" goto port_checked
if /i not "%PORT:~0,3%"=="COM" goto bad_port
set PORT_NUMBER=%PORT:~3%
set PORT_CHECK=
set /a PORT_CHECK=PORT_NUMBER >nul 2>&1
if not "%PORT_CHECK%"=="%PORT_NUMBER%" goto bad_port
if %PORT_CHECK% lss 1 goto bad_port
if %PORT_CHECK% gtr 255 goto bad_port
:port_checked
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
if defined UPS goto windows_ups_service
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
if "%PORT%%UPS%"=="" (
    echo Name the UPS's port: install.cmd COMn [/turnoff]; or, for a UPS that another machine serves: install.cmd /ups NAME@HOST[:PORT] /user NAME
    exit /b 1
)
rem What korvoups-service install is given.
set INSTALL_ARGUMENTS=%PORT%
if defined UPS set INSTALL_ARGUMENTS=--ups "%UPS%" --user "%UPSUSER%"
rem The 32-bit service on 64-bit Windows would see another registry.
set VERSION=
for /f "delims=" %%v in ('korvoups-service.exe --version 2^>nul') do set VERSION=%%v
if not defined VERSION goto other_architecture
if "%VERSION:(x86)=%"=="%VERSION%" goto service_folder
if defined PROCESSOR_ARCHITEW6432 goto other_architecture
if /i not "%PROCESSOR_ARCHITECTURE%"=="x86" goto other_architecture
:service_folder
rem "korvoups-service 1.2.3 (amd64)": the number alone.
for /f "tokens=2" %%v in ("%VERSION%") do set NUMBER=%%v
set DEST=%ProgramFiles%\KorvoUPS
if defined ProgramW6432 set DEST=%ProgramW6432%\KorvoUPS
set PROGRAM=%DEST%\korvoups-service.exe
set SETTINGS=HKLM\SOFTWARE\KorvoUPS
rem What the tools said, shown when they fail.
set OUTPUT=%TEMP%\korvoups-install.txt
rem A file held by another program (a virus scan, a backup) is tried this
rem many times, a second apart.
set COPY_TRIES=10

rem What runs now, put back if the new files do not run: the service's
rem program, its state, its port and TurnOff (absent when their types are).
set OLD_IMAGE=%IMAGE%
set OLD_STATE=
for /f "tokens=1,4" %%a in ('%TOOLS%\sc.exe query ups 2^>nul') do if /i "%%a"=="STATE" set OLD_STATE=%%b
set OLD_PORT=
set OLD_PORT_TYPE=
for /f "tokens=1,2,*" %%a in ('%TOOLS%\reg.exe query "%SERVICE%" /v Port 2^>nul') do (
    if /i "%%a"=="Port" set OLD_PORT_TYPE=%%b
    if /i "%%a"=="Port" set OLD_PORT=%%c
)
set OLD_UPS=
set OLD_UPS_TYPE=
for /f "tokens=1,2,*" %%a in ('%TOOLS%\reg.exe query "%SETTINGS%" /v Ups 2^>nul') do (
    if /i "%%a"=="Ups" set OLD_UPS_TYPE=%%b
    if /i "%%a"=="Ups" set OLD_UPS=%%c
)
set OLD_TURNOFF=
set OLD_TURNOFF_TYPE=
for /f "tokens=1,2,*" %%a in ('%TOOLS%\reg.exe query "%SETTINGS%" /v TurnOff 2^>nul') do (
    if /i "%%a"=="TurnOff" set OLD_TURNOFF_TYPE=%%b
    if /i "%%a"=="TurnOff" set OLD_TURNOFF=%%c
)
set REPLACED=
set REGISTERED=

rem A running service holds its files; so do the commands it started until
rem the service ends them as it stops. This also checks for an
rem administrator before anything changes.
echo Stopping the UPS service and waiting until it and its commands have ended...
korvoups-service.exe stop
if errorlevel 2 (
    echo The UPS service did not stop ^(above^).
    goto put_back
)
if errorlevel 1 goto not_administrator

echo Copying the service and the driver to %DEST%...
if not exist "%DEST%" mkdir "%DEST%"
if not exist "%DEST%" (
    echo The folder %DEST% could not be made ^(above^).
    goto put_back
)
set REPLACED=1
call :replace korvoups-service.exe
if errorlevel 1 goto put_back
call :replace KorvoUPS.dll
if errorlevel 1 goto put_back
set REGISTERED=1
rem With /ups it asks for the password here (at a console twice, without
rem echo), or reads it from standard input.
"%PROGRAM%" install %INSTALL_ARGUMENTS%
if errorlevel 1 (
    echo The service could not be registered ^(above^).
    goto put_back
)
if "%TURNOFF%"=="" goto service_start
call :turn_off
if errorlevel 1 (
    echo TurnOff could not be set ^(above^).
    goto put_back
)

:service_start
echo Starting the UPS service...
"%TOOLS%\net.exe" start ups >"%OUTPUT%" 2>&1
if errorlevel 1 (
    echo The UPS service did not start:
    type "%OUTPUT%"
    call :log_tail
    goto put_back
)
if defined UPS echo Waiting up to 10 s for the primary %UPS% to answer...
if not defined UPS echo Waiting up to 10 s for the UPS to answer on %PORT%...
"%PROGRAM%" status --wait 10 >"%OUTPUT%" 2>&1
if errorlevel 4 goto not_running
if errorlevel 3 goto no_answer_yet
if errorlevel 1 goto not_running
if defined UPS call :primary_words
call :forget_previous
echo KorvoUPS %NUMBER% is installed and running: "%PROGRAM%" status
if defined UPS goto primary_answers
call :ups_words
rem (Wine's cmd drops a %% in a set command, not in echo.)
if defined CHARGE echo The UPS answers on %PORT%: %UPS_WORDS%, charge %CHARGE% %%
if not defined CHARGE echo The UPS answers on %PORT%: %UPS_WORDS%
exit /b 0

:primary_answers
echo The primary %UPS% answers: %UPS_WORDS%
exit /b 0

:no_answer_yet
call :forget_previous
echo KorvoUPS %NUMBER% is installed and running: "%PROGRAM%" status
if defined UPS goto primary_no_answer_yet
echo No UPS answered on %PORT% yet: the service keeps trying; `korvoups-service status` shows when it does.
exit /b 3
:primary_no_answer_yet
echo The primary %UPS% has not answered yet: the service keeps trying; `korvoups-service status` shows why (its session line).
exit /b 3

:not_running
echo The UPS service started, but does not run:
type "%OUTPUT%"
call :log_tail
goto put_back

rem Back to what ran before, as far as it goes: the previous files and
rem registration, the port and TurnOff, the service started if it ran.
:put_back
if not defined REPLACED goto put_back_start
echo Putting back what ran before...
korvoups-service.exe stop >nul 2>&1
call :restore korvoups-service.exe
call :restore KorvoUPS.dll
if not defined REGISTERED goto put_back_start
if not defined OLD_IMAGE goto put_back_start
rem Registered from another folder before: that program registers itself
rem again (on the port given, or the one before; its Port and Ups follow).
set REREGISTER_PORT=%PORT%
if not defined REREGISTER_PORT set REREGISTER_PORT=%OLD_PORT%
if /i not "%OLD_IMAGE%"=="%PROGRAM%" if exist "%OLD_IMAGE%" "%OLD_IMAGE%" install %REREGISTER_PORT% >nul
if defined OLD_PORT_TYPE "%TOOLS%\reg.exe" add "%SERVICE%" /v Port /t %OLD_PORT_TYPE% /d "%OLD_PORT%" /f >nul
if not defined OLD_PORT_TYPE "%TOOLS%\reg.exe" delete "%SERVICE%" /v Port /f >nul 2>&1
rem Ups as it was (the account a secondary logged in with before stays as
rem the new one left it: its password is not known here).
if defined OLD_UPS_TYPE "%TOOLS%\reg.exe" add "%SETTINGS%" /v Ups /t %OLD_UPS_TYPE% /d "%OLD_UPS%" /f >nul
if not defined OLD_UPS_TYPE "%TOOLS%\reg.exe" delete "%SETTINGS%" /v Ups /f >nul 2>&1
if "%TURNOFF%"=="" goto put_back_start
if defined OLD_TURNOFF_TYPE "%TOOLS%\reg.exe" add "%SETTINGS%" /v TurnOff /t %OLD_TURNOFF_TYPE% /d "%OLD_TURNOFF%" /f >nul
if not defined OLD_TURNOFF_TYPE "%TOOLS%\reg.exe" delete "%SETTINGS%" /v TurnOff /f >nul 2>&1
:put_back_start
del /q "%OUTPUT%" 2>nul
if /i "%OLD_STATE%"=="RUNNING" "%TOOLS%\net.exe" start ups >nul 2>&1
set NOW_STATE=
for /f "tokens=1,4" %%a in ('%TOOLS%\sc.exe query ups 2^>nul') do if /i "%%a"=="STATE" set NOW_STATE=%%b
if /i not "%OLD_STATE%"=="RUNNING" goto put_back_not_running_before
if /i not "%NOW_STATE%"=="RUNNING" goto put_back_not_running
echo KorvoUPS %NUMBER% was not installed: the UPS service runs what ran before.
exit /b 1
:put_back_not_running
echo KorvoUPS %NUMBER% was not installed, and the UPS service that ran before does not run again: this machine is not protected. See "Troubleshooting" in README.md.
exit /b 2
:put_back_not_running_before
if defined OLD_IMAGE goto put_back_nothing_ran
if not defined REGISTERED goto put_back_nothing_ran
echo KorvoUPS %NUMBER% is installed, but the UPS service does not run: see "Troubleshooting" in README.md.
exit /b 2
:put_back_nothing_ran
echo KorvoUPS %NUMBER% was not installed; the UPS service did not run before either.
exit /b 1

rem Copies FILE over the installed one, the installed one kept first as
rem FILE.previous.
:replace
if not exist "%DEST%\%~1" goto replace_new
call :copy_retried "%DEST%\%~1" "%DEST%\%~1.previous"
if not errorlevel 1 goto replace_new
echo The installed %~1 could not be kept as %~1.previous in %DEST%, tried %COPY_TRIES% times a second apart:
type "%OUTPUT%"
rem A part of a copy is no previous file to go back to.
del /q "%DEST%\%~1.previous" 2>nul
exit /b 1
:replace_new
call :copy_retried "%~1" "%DEST%\%~1"
if not errorlevel 1 exit /b 0
echo %~1 could not be copied to %DEST%, tried %COPY_TRIES% times a second apart:
type "%OUTPUT%"
exit /b 1

rem Copies FROM to TO; a file held by another program is tried again once a
rem second, COPY_TRIES times in all. What copy said is left in OUTPUT.
:copy_retried
set TRIES=0
:copy_again
copy /y "%~1" "%~2" >"%OUTPUT%" 2>&1
if not errorlevel 1 exit /b 0
set /a TRIES+=1
if %TRIES% geq %COPY_TRIES% exit /b 1
"%TOOLS%\ping.exe" -n 2 127.0.0.1 >nul
goto copy_again

rem The previous FILE back in its place, where there is one.
:restore
if not exist "%DEST%\%~1.previous" exit /b 0
copy /y "%DEST%\%~1.previous" "%DEST%\%~1" >nul 2>&1
del /q "%DEST%\%~1.previous" 2>nul
exit /b 0

:forget_previous
del /q "%DEST%\korvoups-service.exe.previous" "%DEST%\KorvoUPS.dll.previous" 2>nul
del /q "%OUTPUT%" 2>nul
exit /b 0

rem The last line of the service's log, which says why it stopped.
:log_tail
if not exist "%DEST%\events.log" exit /b 0
set LAST=
for /f "usebackq delims=" %%l in ("%DEST%\events.log") do set "LAST=%%l"
rem Expanded after the line is parsed: the log's text may hold > or &.
setlocal enabledelayedexpansion
echo The last line of %DEST%\events.log: !LAST!
endlocal
exit /b 0

rem The UPS's state (UPS_WORDS) and charge in percent (CHARGE, when there is
rem one), as the driver has just published them.
:ups_words
set POWER=
set CHARGE=
set FLAGS=
for /f "tokens=1,2,*" %%a in ('%TOOLS%\reg.exe query "%SERVICE%\Status" 2^>nul') do (
    if /i "%%a"=="UtilityPowerStatus" set POWER=%%c
    if /i "%%a"=="BatteryCapacity" set /a CHARGE=%%c
    if /i "%%a"=="StatusFlags" set FLAGS=%%c
)
set UPS_WORDS=on mains
if "%POWER%"=="0x2" set UPS_WORDS=on battery
if "%POWER%"=="0x2" if "%FLAGS:~1,1%"=="1" set UPS_WORDS=on battery, battery low
exit /b 0

rem The primary's state (UPS_WORDS), from the session line of `status`
rem in OUTPUT: "session:  logged in to ups@nas as monuser; on mains, ...".
rem (Plain expansion in quotes: Wine's cmd gets substitution in delayed
rem expansion wrong.)
:primary_words
set SESSION=
for /f "usebackq tokens=1,*" %%a in ("%OUTPUT%") do if /i "%%a"=="session:" set "SESSION=%%b"
set UPS_WORDS=see `korvoups-service status`
if not defined SESSION exit /b 0
set UPS_WORDS=on mains
if not "%SESSION:; on battery=%"=="%SESSION%" set UPS_WORDS=on battery
if not "%SESSION:battery low=%"=="%SESSION%" set UPS_WORDS=on battery, battery low
if not "%SESSION:refused the login=%"=="%SESSION%" set UPS_WORDS=%UPS_WORDS%, but refuses the login as %UPSUSER%: see `korvoups-service status`
exit /b 0

:turn_off
echo Letting the UPS be turned off after a power-failure shutdown...
"%TOOLS%\reg.exe" add "HKLM\SOFTWARE\KorvoUPS" /v TurnOff /t REG_DWORD /d 1 /f >nul
exit /b %errorlevel%

:bad_ups
echo install.cmd /ups NAME@HOST[:PORT] /user NAME: the account to log in with is needed, and neither a port nor /turnoff ^(the UPS is its primary's to turn off^).
exit /b 1

:windows_ups_service
echo This Windows has a UPS service of its own, which cannot follow a UPS over the network: /ups needs the KorvoUPS service, on Vista and later.
exit /b 1

:bad_port
echo %PORT% is no COM port: install.cmd COMn [/turnoff], n from 1 to 255.
exit /b 1

:other_architecture
echo This package's service is for another Windows: run install.cmd of the other folder, x86 (32-bit) or amd64 (64-bit).
exit /b 1

:not_started
echo KorvoUPS is installed, but the UPS service did not start: see "Troubleshooting" in README.md.
exit /b 2

:not_installed
echo KorvoUPS was not installed: the step above failed (not run from an administrator's command prompt?).
exit /b 1

:not_administrator
echo KorvoUPS was not installed: run this from an administrator's command prompt.
exit /b 1
