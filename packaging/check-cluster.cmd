@echo off
rem Runs the test pattern through the plug-in to the port named in plugins\Vontrel.txt:
rem every needle from zero to full scale and back, then every lamp in turn (about 15 s).
rem Close the game first: a port has one owner.
setlocal
cd /d "%~dp0"
set PORT=
for /f "usebackq tokens=1,2,3" %%a in ("plugins\Vontrel.txt") do (
  if "%%a"=="comport" if "%%b"=="str" set PORT=%%c
)
if "%PORT%"=="" (
  echo plugins\Vontrel.txt names no port: add a line such as "comport str COM5".
  goto done
)
echo Sending the test pattern to %PORT% ...
tools\vontrel-host.exe --plugin plugins\vontrel.dll --port %PORT% --scenario sweep
:done
echo.
pause
