@echo off
rem Stand-in for a runtime's own installer. It lies on the product's medium
rem in the folder redist beside the installer, which checks its SHA-256
rem (Digest= in product.manifest) and runs it as
rem   runtime-setup.cmd /quiet "<Program Files>\Sample Runtime 3"
rem Change a byte of this file and the digest must change with it.
if not "%~1"=="/quiet" exit /b 2
if "%~2"=="" exit /b 2
if not exist "%~2\" mkdir "%~2"
echo Sample Runtime 3.0> "%~2\runtime.txt"
if not exist "%~2\runtime.txt" exit /b 1
exit /b 0
