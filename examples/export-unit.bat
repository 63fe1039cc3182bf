@echo off
rem Exports the serial number and asset tag of one unit and reports the outcome.
rem Usage: export-unit.bat FRU_DESCRIPTION REPORT
rem tessolin.exe is taken from the current directory or from PATH.
tessolin.exe %1 %2
if %ERRORLEVEL% neq 0 (
    echo tessolin exit status %ERRORLEVEL%: no report for %1
    exit /b 1
)
echo tessolin exit status 0: report written to %2
exit /b 0
