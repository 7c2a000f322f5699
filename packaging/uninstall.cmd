@echo off
rem Removes KorvoUPS: stops the UPS service, deletes the DLL, the list of its
rem models and its own settings (HKLM\SOFTWARE\KorvoUPS). The UPS service's
rem own settings stay as they are: choose another UPS (or none) in Power
rem Options before, or the service looks for a driver that is gone.
rem   uninstall.cmd     (from an administrator's command prompt)
rem Exit code: 0 done, 1 the entries are still there.
setlocal
cd /d "%~dp0"
set TOOLS=%SystemRoot%\System32
if exist "%SystemRoot%\Sysnative\rundll32.exe" set TOOLS=%SystemRoot%\Sysnative

echo Stopping the UPS service...
net stop ups >nul 2>&1

echo Removing KorvoUPS.dll, the list of its models and its settings...
"%TOOLS%\rundll32.exe" setupapi.dll,InstallHinfSection Uninstall 128 .\korvoups.inf
"%TOOLS%\reg.exe" query "HKLM\SYSTEM\CurrentControlSet\Services\UPS\ServiceProviders\KorvoUPS" >nul 2>&1
if not errorlevel 1 goto still_there
echo KorvoUPS is removed.
exit /b 0

:still_there
echo KorvoUPS was not removed: run this from an administrator's command prompt.
exit /b 1
