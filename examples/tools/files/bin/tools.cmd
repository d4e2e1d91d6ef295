@echo off
rem Sample Tools: the product's one command, a stand-in for a real program.
echo Sample Tools 3.0
type "%~dp0tools.ini"
pause
