@echo off
rem Stand-in for a viewer's installer, downloaded from
rem http://downloads.example.com/tools/viewer-setup.cmd (or the same path on
rem ftp.example.com). The installer checks its SHA-256 (Digest= in
rem product.manifest) and runs it as
rem   viewer-setup.cmd /quiet "<Program Files>\Sample Viewer"
if not "%~1"=="/quiet" exit /b 2
if "%~2"=="" exit /b 2
if not exist "%~2\" mkdir "%~2"
echo Sample Viewer 1.4> "%~2\viewer.txt"
if not exist "%~2\viewer.txt" exit /b 1
exit /b 0
