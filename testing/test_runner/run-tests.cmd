@echo off
rem Runs every test binary of this bundle and ends with one line:
rem "N passed, N failed, N skipped". Exits non-zero when anything failed.
rem Runs from any folder, as any user; run it from an elevated prompt to
rem include the tests that need a small volume of their own.
rem   run-tests.cmd [RESULTS_FOLDER]
setlocal
set "STUB_TEST_ROOT=%~dp0"
"%~dp0testing\test_runner\test_runner.exe" %*
exit /b %ERRORLEVEL%
