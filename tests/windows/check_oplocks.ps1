<#
.SYNOPSIS
Checks on a real Windows machine that no user's oplock stalls the installed Orvanta Helper.

.DESCRIPTION
Run as an administrator on a machine with the helper installed (not part of CI: Wine has no
oplocks). For each target file, a standard user (the test account given) runs oplock_holder.exe,
which takes a read-write-handle oplock on it and never acknowledges the break. With the oplock
held, the script asks the helper ping, status, splitapps, connect (a sample configuration) and
disconnect through OrvantaCtl.exe, then stops the service and starts it again. It prints each
step's answer and how long it took; no step may take much longer than the helper's bound of a
few seconds, and the stop must end within the service's wait hint.

.EXAMPLE
powershell -ExecutionPolicy Bypass -File check_oplocks.ps1 -TestUser oplocktest `
    -Holder C:\tmp\oplock_holder.exe
#>
param(
    [Parameter(Mandatory = $true)][string]$TestUser,  # a standard (non-administrator) account
    [Parameter(Mandatory = $true)][string]$Holder,    # oplock_holder.exe, readable by that user
    [string]$InstallDir = "$env:ProgramFiles\Orvanta",
    [int]$HoldSeconds = 120
)
$ErrorActionPreference = 'Stop'

$principal = [Security.Principal.WindowsPrincipal][Security.Principal.WindowsIdentity]::GetCurrent()
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    throw 'run this as an administrator (it stops and starts the service)'
}
# The same account runas would start the holder with, asked for once.
$credential = Get-Credential -UserName $TestUser -Message 'password of the standard test account'
$ctl = Join-Path $InstallDir 'OrvantaCtl.exe'
$targets = @(
    (Join-Path $env:ProgramData 'Orvanta\helper.log'),
    (Join-Path $InstallDir 'awg\amneziawg.exe')
)
$sample = Join-Path $env:TEMP 'orvanta-oplock-sample.conf'
"[Interface]`r`nPrivateKey = c2FtcGxlIGtleSwgbm90IGEgcmVhbCBvbmU=`r`nAddress = 10.8.0.2/32`r`n" |
    Set-Content -Path $sample -Encoding Ascii -NoNewline
$status = Join-Path $env:PUBLIC 'orvanta-oplock-status.txt'  # the test user can write there

function Step([string]$name, [scriptblock]$action) {
    $watch = [Diagnostics.Stopwatch]::StartNew()
    $answer = try { (& $action 2>&1 | Out-String).Trim() } catch { "failed: $_" }
    $watch.Stop()
    '{0,-12} {1,7:N0} ms  {2}' -f $name, $watch.Elapsed.TotalMilliseconds, $answer
}

function HoldOplock([string]$target) {
    Remove-Item $status -ErrorAction SilentlyContinue
    $process = Start-Process -FilePath $Holder -Credential $credential -PassThru `
        -WindowStyle Hidden -ArgumentList "`"$target`"", "`"$status`"", $HoldSeconds
    $deadline = (Get-Date).AddSeconds(15)
    while ((Get-Date) -lt $deadline -and -not (Test-Path $status)) { Start-Sleep -Milliseconds 100 }
    $state = if (Test-Path $status) { (Get-Content $status) -join '; ' } else { 'no answer' }
    "oplock on $target as ${TestUser}: $state"
    return $process
}

foreach ($target in $targets) {
    "=== $target"
    $holder = HoldOplock $target
    Step 'ping' { & $ctl ping }
    Step 'status' { & $ctl status }
    Step 'splitapps' { & $ctl splitapps 'chrome.exe' }
    Step 'connect' { & $ctl connect $sample }
    Step 'disconnect' { & $ctl disconnect }
    Step 'stop' { Stop-Service OrvantaHelper; (Get-Service OrvantaHelper).Status }
    if (Test-Path $status) { "holder: $((Get-Content $status) -join '; ')" }
    Stop-Process -Id $holder.Id -ErrorAction SilentlyContinue  # the oplock goes with it
    Step 'start' { Start-Service OrvantaHelper; (Get-Service OrvantaHelper).Status }
    Step 'ping again' { & $ctl ping }
}
"=== the data directory itself, as $TestUser (expected: refused)"
$holder = HoldOplock (Join-Path $env:ProgramData 'Orvanta')
Stop-Process -Id $holder.Id -ErrorAction SilentlyContinue
Remove-Item $sample, $status -ErrorAction SilentlyContinue
"the helper's own account of it: the end of $($targets[0])"
Get-Content $targets[0] -Tail 15
