@echo off
rem Shows what arrives on a serial port, decoded frame by frame. For a second adapter that
rem listens to the cluster's line, or a cluster you want to test without the game.
cd /d "%~dp0"
if not exist "tools\vontrel-monitor.exe" (
  echo Extract the whole archive first: right-click the zip file, choose "Extract All", then
  echo run this file from the extracted folder. Inside the zip it finds none of its tools.
  echo.
  pause
  exit /b 1
)
set PORT=%1
if "%PORT%"=="" set /p PORT=Which port (for example COM6)? 
tools\vontrel-monitor.exe --device %PORT%
echo.
pause
