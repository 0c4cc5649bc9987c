@echo off
rem Puts the reference firmware on the cluster's Arduino (Uno or Nano, old bootloader or new),
rem writes the board's port into plugins\Vontrel.txt, then runs the test pattern through the
rem plug-in so that the needles move. Close the game and the Arduino IDE first: a port has one
rem owner. Another firmware or port: flash-cluster.cmd x27, flash-cluster.cmd --port COM5 i2c.
setlocal
cd /d "%~dp0"
if not exist "tools\vontrel-flash.exe" (
  echo Extract the whole archive first: right-click the zip file, choose "Extract All", then
  echo run this file from the extracted folder. Inside the zip it finds none of its tools.
  echo.
  pause
  exit /b 1
)
tools\vontrel-flash.exe --write-settings plugins\Vontrel.txt %*
if errorlevel 1 goto failed
echo.
echo The test pattern through the plug-in: every needle from zero to full scale and back,
echo then every lamp in turn.
tools\vontrel-host.exe --plugin plugins\vontrel.dll --cwd . --scenario sweep
echo.
pause
exit /b 0
:failed
echo.
pause
exit /b 1
