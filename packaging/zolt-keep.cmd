@echo off
rem Starts a ZOLT match from this folder as zolt-start.cmd does, and keeps it
rem going: every turn is recorded in the matches folder, and when the server
rem ends by a crash, or is ended from the Task Manager or by a shut-down, it
rem is started again and goes on with its match from the last whole turn (the
rem clients join again as at the start). A match that is over starts the next
rem one. Ctrl-C (answering Y to "Terminate batch job") or a bad option (exit
rem code 2) ends this for good; the match then goes on at the next start.
rem Options given to this file go to the server (zolt-keep.cmd --port 2001).
setlocal
cd /d "%~dp0maps"
if not exist "%~dp0matches" mkdir "%~dp0matches"
:again
"%~dp0zolt-server.exe" --bot-file "%~dp0maps\bot.txt" --maps-dir "%~dp0maps" --record "%~dp0matches\match.jsonl" --resume %*
set code=%errorlevel%
if "%code%"=="2" goto done
echo.
echo zolt-server ended with exit code %code%: it starts again in 5 s (Ctrl-C ends it).
timeout /t 5 /nobreak > nul
goto again
:done
echo.
echo zolt-server ended with exit code %code% (README.txt says what it means).
pause
exit /b %code%
