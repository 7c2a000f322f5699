@echo off
rem Removes KorvoUPS, as install.cmd installed it on this Windows:
rem   uninstall.cmd     (from an administrator's command prompt)
rem The KorvoUPS service: stopped and removed with its registry keys and its
rem settings (HKLM\SOFTWARE\KorvoUPS, with the accounts); its files leave %ProgramFiles%\KorvoUPS,
rem the log of the outages stays there.
rem The driver of Windows' own UPS service: the DLL, the list of its models
rem and its settings go; the service's own settings stay as they are, so
rem choose another UPS (or none) in Power Options first, or the service
rem looks for a driver that is gone.
rem Exit code: 0 done, 1 something is still there.
setlocal
cd /d "%~dp0"
set TOOLS=%SystemRoot%\System32
if exist "%SystemRoot%\Sysnative\rundll32.exe" set TOOLS=%SystemRoot%\Sysnative
set SERVICE=HKLM\SYSTEM\CurrentControlSet\Services\UPS
set DEST=%ProgramFiles%\KorvoUPS
if defined ProgramW6432 set DEST=%ProgramW6432%\KorvoUPS

rem The KorvoUPS service: its program's name in the UPS service's ImagePath.
set IMAGE=
for /f "tokens=1,2,*" %%a in ('reg.exe query "%SERVICE%" /v ImagePath 2^>nul') do if /i "%%a"=="ImagePath" set IMAGE=%%c
if not defined IMAGE goto driver
set IMAGE=%IMAGE:"=%
if /i "%IMAGE:korvoups-service.exe=%"=="%IMAGE%" goto driver
echo Stopping and removing the KorvoUPS service...
korvoups-service.exe uninstall
if errorlevel 1 goto still_there
rem With the files an interrupted install.cmd kept to go back to.
del /q "%DEST%\korvoups-service.exe" "%DEST%\KorvoUPS.dll" "%DEST%\korvoups-service.exe.previous" "%DEST%\KorvoUPS.dll.previous" 2>nul
rd "%DEST%" 2>nul

:driver
"%TOOLS%\reg.exe" query "%SERVICE%\ServiceProviders\KorvoUPS" >nul 2>&1
if errorlevel 1 goto removed
echo Stopping the UPS service...
"%TOOLS%\net.exe" stop ups >nul 2>&1
echo Removing KorvoUPS.dll, the list of its models and its settings...
"%TOOLS%\rundll32.exe" setupapi.dll,InstallHinfSection Uninstall 128 .\korvoups.inf
"%TOOLS%\reg.exe" query "%SERVICE%\ServiceProviders\KorvoUPS" >nul 2>&1
if not errorlevel 1 goto still_there

:removed
if exist "%DEST%\korvoups-service.exe" goto still_there
echo KorvoUPS is removed.
exit /b 0

:still_there
echo KorvoUPS was not removed: run this from an administrator's command prompt.
exit /b 1
