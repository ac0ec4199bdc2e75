@echo off
rem Started by the SFX file after unpacking: leaves a note in its working folder.
echo Packrig demo ran in %CD% with arguments: %* > ran.txt
exit /b 0
