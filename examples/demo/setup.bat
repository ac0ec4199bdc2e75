@echo off
echo Packrig demo: unpacked into %CD%
echo Arguments: %*
dir /s /b
exit /b 0
