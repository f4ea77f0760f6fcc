@echo off
rem selftest.cmd: runs bytora.exe (the runner beside this file) on the cases
rem below with the files of selftest\data, compares each output byte for byte
rem (fc /b) with its file in selftest\expected, prints PASS or FAIL per case
rem and exits with the number of failures. It works in a folder of its own
rem under %TEMP% and removes it; nothing is written beside it.
rem
rem     selftest.cmd              run every case
rem     selftest.cmd /keep DIR    the same, and keep each case's output in DIR
rem                               (for a report, or to make expected files)
rem
rem A case's output is what the runner wrote to standard output and standard
rem error (redirected to one file), then the line "exit code N".
setlocal EnableExtensions DisableDelayedExpansion
set "RUNNER=%~dp0bytora.exe"
set "DATA=%~dp0selftest\data"
set "EXPECTED=%~dp0selftest\expected"
set "KEEP="
if "%~1"=="" goto start
if /i "%~1"=="/keep" if not "%~2"=="" if "%~3"=="" goto keep
goto usage
:keep
set "KEEP=%~f2"
:start
if not exist "%RUNNER%" goto norunner
if not exist "%EXPECTED%\" goto nodata

rem The runner's settings at their defaults, whatever this console has set.
set "BYTORA_HOST_OUTPUT="
set "BYTORA_HOST_VERSION="
set "BYTORA_HOST_BUILD="
set "BYTORA_HOST_TRANSIENT="
set "BYTORA_HOST_PIPE="
set "BYTORA_HOST_BATCH="
set "BYTORA_HOST_BATCHNAME="
set "BYTORA_HOST_BATCHLINE="

rem Without a working fc every comparison would pass: check it tells two
rem different files apart (Wine 8's fc, for one, says nothing and returns 0).
fc /b "%DATA%\values.bin" "%DATA%\hello.txt" >nul 2>&1
if not errorlevel 1 goto nofc
fc /b "%DATA%\values.bin" "%DATA%\values.bin" >nul 2>&1
if errorlevel 1 goto nofc

:pick
set "WORK=%TEMP%\bytora-selftest-%RANDOM%"
if exist "%WORK%" goto pick
mkdir "%WORK%" 2>nul
if errorlevel 1 goto nowork
set "OUT=%WORK%\out"
if defined KEEP set "OUT=%KEEP%"
if not exist "%OUT%\" mkdir "%OUT%"
if not exist "%OUT%\" goto nokeep
copy /b "%DATA%\*" "%WORK%\" >nul
pushd "%WORK%"
set /a PASSED=0, FAILED=0

rem Value widths and bases: 01 02 7f 80 ff fe, then "ABCDEFGHIJKLM",
rem standard input redirected from the file (text in code page 1252).
set "NAME=bytes" & set "ARGS=/N:B /CP:1252" & set "IN=values.bin" & call :file
set "NAME=words" & set "ARGS=/N:B /CP:1252 /W" & set "IN=values.bin" & call :file
set "NAME=triads" & set "ARGS=/N:B /CP:1252 /3" & set "IN=values.bin" & call :file
set "NAME=doublewords" & set "ARGS=/N:B /CP:1252 /D" & set "IN=values.bin" & call :file
set "NAME=quadwords" & set "ARGS=/N:B /CP:1252 /Q" & set "IN=values.bin" & call :file
set "NAME=words-big-endian" & set "ARGS=/N:B /CP:1252 /W /BE" & set "IN=values.bin" & call :file
set "NAME=octal" & set "ARGS=/N:B /CP:1252 /F:O" & set "IN=values.bin" & call :file
set "NAME=decimal-words" & set "ARGS=/N:B /CP:1252 /F:D /W" & set "IN=values.bin" & call :file
set "NAME=signed" & set "ARGS=/N:B /CP:1252 /F:S" & set "IN=values.bin" & call :file
set "NAME=upper-case" & set "ARGS=/N:B /CP:1252 /UC /D /BE" & set "IN=values.bin" & call :file

rem The text field and the header's encoding, one case per encoding.
set "NAME=utf8" & set "ARGS=/N:B /HH" & set "IN=utf8.txt" & call :file
set "NAME=utf8-euro" & set "ARGS=/N:B" & set "IN=euro.txt" & call :file
set "NAME=utf16le-bom" & set "ARGS=/N:B /HH" & set "IN=utf16le.txt" & call :file
set "NAME=utf16be-bom" & set "ARGS=/N:B /HH" & set "IN=utf16be.txt" & call :file
set "NAME=utf16le-no-bom" & set "ARGS=/N:B /HH" & set "IN=utf16le-nobom.txt" & call :file
set "NAME=utf16be-no-bom" & set "ARGS=/N:B /HH" & set "IN=utf16be-nobom.txt" & call :file
set "NAME=utf32le-bom" & set "ARGS=/N:B /HH" & set "IN=utf32le.txt" & call :file
set "NAME=utf32be-bom" & set "ARGS=/N:B /HH" & set "IN=utf32be.txt" & call :file
set "NAME=ebcdic" & set "ARGS=/N:B /HH /CP:1140 /M:48" & set "IN=ebcdic.txt" & call :file
set "NAME=oem-437" & set "ARGS=/N:B /HH /CP:437" & set "IN=cp437.txt" & call :file
set "NAME=ascii" & set "ARGS=/N:B /HH" & set "IN=letters.txt" & call :file

rem A file by name (standard input is NUL, an empty input: its notice comes
rem first), totals, and window options.
set "NAME=totals-file" & set "ARGS=/N:B /CP:1252 /I /W values.bin" & set "IN=nul" & call :file
set "NAME=window-start-end" & set "ARGS=/N:B /C:4 /E:12" & set "IN=digits.bin" & call :file
set "NAME=window-from-end" & set "ARGS=/N:B /C:-16" & set "IN=digits.bin" & call :file
set "NAME=window-width-lines" & set "ARGS=/N:B /K:8 /ML:3" & set "IN=digits.bin" & call :file
set "NAME=unix-style" & set "ARGS=/N:B /U" & set "IN=repeat.bin" & call :file

rem Standard input from a pipe.
set "NAME=pipe" & set "ARGS=/N:B" & set "IN=letters.txt" & call :pipe
set "NAME=pipe-totals-words" & set "ARGS=/N:B /I /W" & set "IN=abcde.txt" & call :pipe

rem A list naming files called CON and AUX, which are files here, not the
rem console and the serial port. Only the "\\?\" form makes such files.
mkdir "%WORK%\devices"
>"\\?\%WORK%\devices\CON" echo the file CON
>"\\?\%WORK%\devices\AUX" echo the file AUX
move "%WORK%\devices.lst" "%WORK%\devices\" >nul
cd devices
set "NAME=list-con-aux" & set "ARGS=/N:B @devices.lst" & set "IN=nul" & call :file
cd ..

rem /S over a small tree: one .txt file of a few bytes on each of three
rem levels, and beside each a longer .log file.
mkdir "%WORK%\tree\one\two"
>"%WORK%\tree\top.txt" echo top
>"%WORK%\tree\one\one.txt" echo one
>"%WORK%\tree\one\two\two.txt" echo two
>"%WORK%\tree\top.log" echo a log line longer than ten bytes
>"%WORK%\tree\one\one.log" echo a log line longer than ten bytes
>"%WORK%\tree\one\two\two.log" echo a log line longer than ten bytes
cd tree
set "NAME=tree-all" & set "ARGS=/N:B /S *.txt" & set "IN=nul" & call :file
set "NAME=tree-depth-1" & set "ARGS=/N:B /S1 *.txt" & set "IN=nul" & call :file
set "NAME=tree-below-1" & set "ARGS=/N:B /S+1 *.txt" & set "IN=nul" & call :file
set "NAME=tree-size-filter" & set "ARGS=/N:B /S /[S1,10] *" & set "IN=nul" & call :file
cd ..

rem Messages and exit codes.
set "NAME=bad-option" & set "ARGS=/bogus" & set "IN=values.bin" & call :file
set "NAME=bad-width" & set "ARGS=/K:81" & set "IN=values.bin" & call :file
set "NAME=bad-width-after-mark" & set "ARGS=/K:20 /D" & set "IN=values.bin" & call :file
set "NAME=format-help" & set "ARGS=/F:?" & set "IN=nul" & call :file
set "NAME=missing-file" & set "ARGS=/N:B nothere.bin" & set "IN=nul" & call :folderless

rem The byte-order mark of redirected output: UTF-8 (the runner's default)
rem and UTF-16 (BYTORA_HOST_OUTPUT=unicode).
set "NAME=mark-utf8" & set "ARGS=" & set "IN=hello.txt" & call :file
set "BYTORA_HOST_OUTPUT=unicode"
set "NAME=mark-utf16" & set "ARGS=" & set "IN=hello.txt" & call :file
set "BYTORA_HOST_OUTPUT="

rem The runner alone in a folder: it names the missing Bytora.dll. The places
rem it looked follow, with the system's text, which differs between systems
rem and languages: the case compares the first line and the exit code.
mkdir "%WORK%\alone"
copy /b "%RUNNER%" "%WORK%\alone\bytora.exe" >nul
set "NAME=runner-alone" & set "ARGS=" & set "IN=nul"
"%WORK%\alone\bytora.exe" <nul >"%WORK%\alone.out" 2>"%WORK%\alone.err"
set "RC=%ERRORLEVEL%"
copy /b "%WORK%\alone.out" "%OUT%\%NAME%.txt" >nul
set "LINE="
for /f "usebackq delims=" %%L in ("%WORK%\alone.err") do if not defined LINE set "LINE=%%L"
if defined LINE >>"%OUT%\%NAME%.txt" echo %LINE%
set "SHOWN=alone\bytora.exe ^<nul"
call :check

popd
rd /s /q "\\?\%WORK%" 2>nul
if exist "%WORK%\" echo selftest: could not remove "%WORK%"
echo %PASSED% passed, %FAILED% failed
if %FAILED% gtr 0 echo Please send the lines above with the output of "ver"; README.txt says how.
exit /b %FAILED%

rem --- One case: the runner with ARGS, standard input from IN, in the
rem current folder.
:file
"%RUNNER%" %ARGS% <"%IN%" >"%OUT%\%NAME%.txt" 2>&1
set "RC=%ERRORLEVEL%"
set "SHOWN=bytora.exe %ARGS% ^<%IN%"
call :check
goto :eof

rem The same with standard input piped from "type IN".
:pipe
type "%IN%" | "%RUNNER%" %ARGS% >"%OUT%\%NAME%.txt" 2>&1
set "RC=%ERRORLEVEL%"
set "SHOWN=type %IN% ^| bytora.exe %ARGS%"
call :check
goto :eof

rem The same for a message that names a file by its full path: the folder
rem (this run's temporary one) is shown as "...".
:folderless
"%RUNNER%" %ARGS% <"%IN%" >"%WORK%\case.out" 2>"%WORK%\case.err"
set "RC=%ERRORLEVEL%"
copy /b "%WORK%\case.out" "%OUT%\%NAME%.txt" >nul
for /f "usebackq delims=" %%L in ("%WORK%\case.err") do call :withoutfolder %%L
set "SHOWN=bytora.exe %ARGS% ^<%IN%"
call :check
goto :eof

:withoutfolder
set "LINE="
:nextword
if "%~1"=="" goto endwords
if "%~1"==%1 (set "WORD="...\%~nx1"") else set "WORD=%1"
if defined LINE (set "LINE=%LINE% %WORD%") else set "LINE=%WORD%"
shift
goto nextword
:endwords
>>"%OUT%\%NAME%.txt" echo %LINE%
goto :eof

rem Appends the exit code RC to the case's output and compares it.
:check
>>"%OUT%\%NAME%.txt" echo exit code %RC%
fc /b "%OUT%\%NAME%.txt" "%EXPECTED%\%NAME%.txt" >nul 2>&1
if errorlevel 1 goto failed
set /a PASSED+=1
echo PASS %NAME%
goto :eof
:failed
set /a FAILED+=1
echo FAIL %NAME%: %SHOWN%
goto :eof

:usage
echo usage: selftest.cmd [/keep folder]
exit /b 1
:norunner
echo selftest: "%RUNNER%" is missing: keep selftest.cmd in the runner's folder
exit /b 1
:nodata
echo selftest: "%EXPECTED%" is missing: unpack the whole zip
exit /b 1
:nofc
echo selftest: fc /b does not tell files apart here, so no case can be checked
exit /b 1
:nowork
echo selftest: cannot create the folder "%WORK%"
exit /b 1
:nokeep
echo selftest: cannot create the folder "%OUT%"
rd /s /q "%WORK%"
exit /b 1
