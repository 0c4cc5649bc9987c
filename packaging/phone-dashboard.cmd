@echo off
rem Shows the cluster on a phone or tablet: takes what the plug-in sends with
rem "udp_target str 127.0.0.1:5005" and serves the dashboard page to your home network.
rem It prints the address to open on the phone. Ctrl-C stops it.
cd /d "%~dp0"
if not exist "tools\vontrel-monitor.exe" (
  echo Extract the whole archive first: right-click the zip file, choose "Extract All", then
  echo run this file from the extracted folder. Inside the zip it finds none of its tools.
  echo.
  pause
  exit /b 1
)
tools\vontrel-monitor.exe --udp 5005 --web 0.0.0.0:8080
echo.
pause
