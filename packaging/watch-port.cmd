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
echo What the lines show: the game clock and date, speed, engine speed, water, fuel, and the
echo lamps that are lit:  ^< ^> blinkers  HB high beam  PL parking light  PB parking brake
echo   OIL oil pressure  AIR air pressure  BAT battery  FUEL low fuel  WEAR wear  CC cruise control
echo After a reset frame (the game stopped or started) the cluster is cleared, and it says so.
echo.
set PORT=%1
if "%PORT%"=="" set /p PORT=Which port (for example COM6)? 
tools\vontrel-monitor.exe --device %PORT%
echo.
pause
