@echo off
rem Takes away the registration install.cmd wrote. Run it as administrator.
setlocal
set "HERE=%~dp0"
set "DLL=%HERE%Kavro.dll"
set "CLASS=HKCR\CLSID\{DB425C72-B048-4AF3-9725-AC921FE68FBF}\InprocServer32"
set "REGSVR=%SystemRoot%\System32\regsvr32.exe"
set "VIEW="
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
    set "REGSVR=%SystemRoot%\SysWOW64\regsvr32.exe"
    rem The check looks where 32-bit programs look, also from a 64-bit prompt.
    set "VIEW=/reg:32"
)

if not exist "%DLL%" (
    echo Kavro.dll is not in %HERE% - run uninstall.cmd from the folder it was installed from.
    exit /b 1
)
rem What install.cmd /x64hosts added, first: it is kept apart from the
rem component's own registration.
if exist "%HERE%kavro.exe" "%HERE%kavro.exe" --dll "%DLL%" unregister --x64-hosts
"%REGSVR%" /u /s "%DLL%"
set "CODE=%ERRORLEVEL%"
reg query "%CLASS%" %VIEW% >nul 2>&1
if errorlevel 1 if "%CODE%"=="0" goto removed

echo Kavro.dll could not be unregistered (regsvr32 exit code %CODE%).
reg query "HKU\S-1-5-19" >nul 2>&1
if errorlevel 1 echo Removing the registration needs administrator rights: right-click uninstall.cmd and choose "Run as administrator".
exit /b 1

:removed
echo Kavro.dll is no longer registered. The files in this folder can now be deleted.
exit /b 0
