@echo off
rem Runs every test program of the LumFilesystem test kit, writes a JUnit XML
rem report per program (and its console output) to the results folder beside
rem this file, and ends with one line: "N passed, N failed, N skipped".
rem Exit status 0 when nothing failed. Double-click it, or run it from a console;
rem /nopause: never wait for a key at the end.
setlocal EnableDelayedExpansion
cd /d "%~dp0"
rem Programs the tests copy elsewhere find their DLLs here.
set "PATH=%~dp0;%PATH%"
if exist results rmdir /s /q results
mkdir results
for %%p in (*Test.exe) do (
  echo Running %%~np
  "%%p" --gtest_output=xml:results\%%~np.xml >results\%%~np.log 2>&1
  >results\%%~np.exit echo !errorlevel!
)
echo Reports and output: %~dp0results
KitSummary.exe results
set status=%errorlevel%
if /i not "%~1"=="/nopause" (
  rem Started from Explorer: keep the window open to read the result.
  echo %CMDCMDLINE% | find /i "%~nx0" >nul && pause
)
exit /b %status%
