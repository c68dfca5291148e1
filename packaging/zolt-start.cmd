@echo off
rem Starts one ZOLT match from this folder, as it was unpacked: the server runs
rem in the maps folder, which holds the start position files, and reads the
rem bot route file from there too, so nothing has to be copied to C:\.
rem Options given to this file go to the server (zolt-start.cmd --port 2001).
setlocal
cd /d "%~dp0maps"
"%~dp0zolt-server.exe" --bot-file "%~dp0maps\bot.txt" --maps-dir "%~dp0maps" %*
set code=%errorlevel%
echo.
echo zolt-server ended with exit code %code% (README.txt says what it means).
pause
exit /b %code%
