@echo off
rem Lists the serial ports, with the name of the adapter or board on each.
cd /d "%~dp0"
if not exist "tools\vontrel-monitor.exe" (
  echo Extract the whole archive first: right-click the zip file, choose "Extract All", then
  echo run this file from the extracted folder. Inside the zip it finds none of its tools.
  echo.
  pause
  exit /b 1
)
tools\vontrel-monitor.exe --list-ports
echo.
pause
