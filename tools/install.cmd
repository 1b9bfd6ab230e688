@echo off
rem Installs the charging system from the folder this script is in. Run it from an elevated prompt.
rem   install.cmd [target folder]      (default: %ProgramFiles%\Orvanta)
rem Exit code 0 when every step succeeded, 1 otherwise.
setlocal EnableExtensions
set "SRC=%~dp0"
set "DEST=%ProgramFiles%\Orvanta"
if not "%~1"=="" set "DEST=%~1"
set FAILED=0

rem A 32-bit prompt on 64-bit Windows must still reach the 64-bit setup and registry.
set "SYS=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\rundll32.exe" set "SYS=%SystemRoot%\Sysnative"

echo Installing into "%DEST%"

if not exist "%DEST%" mkdir "%DEST%"
set COPIED=1
rem Each copy is judged by the file it leaves, not by copy's exit code.
for %%F in (Tarvex.sys Tarvex.inf OrvantaService.exe Quillog.dll logontask.exe StartupOrvanta.exe tvxctl.exe uninstall.cmd) do (
  if exist "%DEST%\%%F" del /f /q "%DEST%\%%F" >nul 2>&1
  copy /y "%SRC%%%F" "%DEST%\%%F" >nul 2>&1
  if not exist "%DEST%\%%F" (echo   cannot copy %%F& set COPIED=0)
)
if exist "%SRC%Revenix\" xcopy /e /i /y /q "%SRC%Revenix" "%DEST%\Revenix" >nul 2>&1 || set COPIED=0
call :report %COPIED% "copy the files"
if %COPIED%==0 goto :done

rem The INF path goes unquoted: InstallHinfSection takes the rest of its command line as the path.
"%SYS%\rundll32.exe" setupapi.dll,InstallHinfSection DefaultInstall 128 %DEST%\Tarvex.inf
rem InstallHinfSection returns nothing: the service key it writes is the proof.
"%SYS%\reg.exe" query "HKLM\System\CurrentControlSet\Services\Tarvex" /v ImagePath >nul 2>&1
call :check "install the driver as USB class upper filter"

rem The service program exits with -1 when installation failed.
"%DEST%\OrvantaService.exe" -i >nul 2>&1
call :check "install the service OrvantaService"

rem The tool always exits 0 and prints nothing: ask the Task Scheduler whether the task is there.
"%DEST%\logontask.exe" CREATE_TASK
call :taskstate
if "%TASKSTATE%"=="unknown" (echo   [done]   register the logon task OrvantaUWP ^(the Task Scheduler cannot be queried here^)) else (
  if "%TASKSTATE%"=="present" (call :report 1 "register the logon task OrvantaUWP") else (call :report 0 "register the logon task OrvantaUWP"))

:done
if %FAILED%==0 (echo Installation complete.) else (echo Installation incomplete: %FAILED% step^(s^) failed.)
if %FAILED%==0 exit /b 0
exit /b 1

rem Reports the step just run by its exit code: 0 is success, anything else (also -1) failure.
:check
if "%ERRORLEVEL%"=="0" (call :report 1 %1) else (call :report 0 %1)
exit /b 0

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
