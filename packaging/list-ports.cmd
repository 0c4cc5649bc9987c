@echo off
rem Lists the serial ports, with the name of the adapter or board on each.
cd /d "%~dp0"
tools\vontrel-monitor.exe --list-ports
echo.
pause
