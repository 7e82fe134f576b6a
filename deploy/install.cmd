@echo off
rem Registers Kavro.dll from this folder for every program on this PC.
rem Run it as administrator. uninstall.cmd takes the registration away again.
rem install.cmd /x64hosts also lets 64-bit hosts use it, through a surrogate.
setlocal
set "X64HOSTS="
if /i "%~1"=="/x64hosts" (
    set "X64HOSTS=1"
) else if not "%~1"=="" (
    echo Unknown option %1. Use: install.cmd [/x64hosts]
    exit /b 2
)
set "HERE=%~dp0"
set "DLL=%HERE%Kavro.dll"
set "CLASS=HKCR\CLSID\{DB425C72-B048-4AF3-9725-AC921FE68FBF}\InprocServer32"
rem On 64-bit Windows the component is registered by the 32-bit regsvr32.
set "REGSVR=%SystemRoot%\System32\regsvr32.exe"
set "VIEW="
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
    set "REGSVR=%SystemRoot%\SysWOW64\regsvr32.exe"
    rem The check looks where 32-bit programs look, also from a 64-bit prompt.
    set "VIEW=/reg:32"
)

if not exist "%DLL%" (
    echo Kavro.dll is not in %HERE% - run install.cmd from the folder you unpacked.
    exit /b 1
)
"%REGSVR%" /s "%DLL%"
set "CODE=%ERRORLEVEL%"
reg query "%CLASS%" %VIEW% >nul 2>&1
if "%CODE%"=="0" if not errorlevel 1 goto registered

echo Kavro.dll could not be registered (regsvr32 exit code %CODE%).
reg query "HKU\S-1-5-19" >nul 2>&1
if errorlevel 1 (
    echo Registration needs administrator rights: right-click install.cmd and choose "Run as administrator".
) else (
    echo Run "kavro.exe doctor --dll Kavro.dll" in this folder to see what is wrong.
)
exit /b 1

:registered
echo Kavro.dll is registered: hosts on this PC can now create Kavro.clsMachine.
if not defined X64HOSTS goto done
"%HERE%kavro.exe" --dll "%DLL%" register --x64-hosts
if errorlevel 1 (
    echo The registration for 64-bit hosts is not complete: see above, then run "kavro.exe doctor --x64".
    exit /b 1
)
:done
echo It is used from this folder, so keep the folder where it is.
echo Check the installation with: kavro.exe doctor
exit /b 0
