@echo off
rem Runs the test pattern through the plug-in with the settings file beside it,
rem plugins\Vontrel.txt, every line of it (the port, startup_delay, ...): every needle from zero
rem to full scale and back, then every lamp in turn (about 15 s, after the start-up delay).
rem Close the game first: a port has one owner.
setlocal
cd /d "%~dp0"
if not exist "tools\vontrel-monitor.exe" (
  echo Extract the whole archive first: right-click the zip file, choose "Extract All", then
  echo run this file from the extracted folder. Inside the zip it finds none of its tools.
  echo.
  pause
  exit /b 1
)
if not exist "plugins\Vontrel.txt" (
  echo There is no plugins\Vontrel.txt in %CD%: put the archive's one back.
  goto done
)
echo Reading the settings from %CD%\plugins\Vontrel.txt
tools\vontrel-host.exe --plugin plugins\vontrel.dll --cwd . --scenario sweep
:done
echo.
pause
