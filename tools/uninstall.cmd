@echo off
rem Removes the charging system, in the reverse order of install.cmd. Run it from an elevated prompt.
rem   uninstall.cmd [installed folder]   (default: the folder this script is in)
rem Exit code 0 when every step succeeded, 1 otherwise.
setlocal EnableExtensions
set "DEST=%~dp0"
if not "%~1"=="" set "DEST=%~1\"
set FAILED=0
set "SYS=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\rundll32.exe" set "SYS=%SystemRoot%\Sysnative"

echo Removing from "%DEST%"

"%DEST%logontask.exe" DELETE_TASK
call :taskstate
if "%TASKSTATE%"=="unknown" (echo   [done]   delete the logon task OrvantaUWP ^(the Task Scheduler cannot be queried here^)) else (
  if "%TASKSTATE%"=="absent" (call :report 1 "delete the logon task OrvantaUWP") else (call :report 0 "delete the logon task OrvantaUWP"))

"%DEST%OrvantaService.exe" -d >nul 2>&1
"%SYS%\sc.exe" query OrvantaService >nul 2>&1
if "%ERRORLEVEL%"=="0" (call :report 0 "delete the service OrvantaService") else (call :report 1 "delete the service OrvantaService")

"%SYS%\rundll32.exe" setupapi.dll,InstallHinfSection DefaultUninstall 128 %DEST%Tarvex.inf
"%SYS%\reg.exe" query "HKLM\System\CurrentControlSet\Services\Tarvex" >nul 2>&1
if "%ERRORLEVEL%"=="0" (call :report 0 "remove the driver and its upper filter entry") else (call :report 1 "remove the driver and its upper filter entry")

if %FAILED%==0 (echo Removal complete. The folder "%DEST%" can now be deleted.) else (echo Removal incomplete: %FAILED% step^(s^) failed.)
if %FAILED%==0 exit /b 0
exit /b 1

:report
if "%~1"=="1" (echo   [ok]     %~2) else (echo   [FAILED] %~2& set /a FAILED+=1 >nul)
exit /b 0

rem TASKSTATE: present, absent, or unknown where schtasks answers yes to any name.
:taskstate
schtasks /query /tn "OrvantaUWP-probe-%RANDOM%%RANDOM%" >nul 2>&1
if "%ERRORLEVEL%"=="0" (set "TASKSTATE=unknown") & exit /b 0
schtasks /query /tn OrvantaUWP >nul 2>&1
if "%ERRORLEVEL%"=="0" (set "TASKSTATE=present") else (set "TASKSTATE=absent")
exit /b 0
