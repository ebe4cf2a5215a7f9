<#
  What Wine cannot show about the installer package, checked on a Windows machine (a throw-away
  VM: it installs, upgrades and removes Orvanta Helper). From an elevated PowerShell:

    tests\windows\check-upgrade.ps1 -Previous OrvantaHelper-0.2.0-x64.msi -Current OrvantaHelper-0.2.1-x64.msi [-Config FILE] [-Remove]

  1. The packages' tables against Windows Installer's own rules (ICEs), with the SDK's
     msival2.exe and the darice.cub of the SDK or of Orca, where they are installed; skipped
     (and said so) where not. Any ICE error fails, and so does an ICE63 or ICE77 warning.
  2. An upgrade with the tunnel up: -Previous installed, a tunnel connected through OrvantaCtl
     (with -Config, or a minimal configuration, which the stand-in amneziawg.exe of the tests
     accepts), then -Current installed over it. The upgrade must end with exit code 0 (3010
     would be a reboot requested: a file of the tunnel still in use), the tunnel service
     running again, the helper running as the new version, both package steps logged, and no
     program file left to be replaced at the next boot.
  3. With -Remove: the removal takes the tunnel, the key and the program files, and keeps the
     log.
  Build both packages from the same tree, the previous with a lower version
  (scripts/package.sh --amneziawg FILE --version X.Y.Z): a package built before the tunnel's
  stop moved into the old version's removal does not stop its tunnel, and the upgrade then
  needs a reboot.
#>
param(
    [Parameter(Mandatory = $true)][string]$Previous,
    [Parameter(Mandatory = $true)][string]$Current,
    [string]$Config = "",
    [switch]$Remove
)
$ErrorActionPreference = 'Stop'
$failed = 0
function Check([string]$what, [bool]$kept) {
    if ($kept) { Write-Host "ok    $what" } else { Write-Host "FAIL  $what"; $script:failed++ }
}
function WaitFor([scriptblock]$done, [int]$seconds = 30) {
    for ($i = 0; $i -lt $seconds * 2; $i++) { if (& $done) { return $true }; Start-Sleep -Milliseconds 500 }
    return [bool](& $done)
}
function Running([string]$name) {
    $service = Get-Service -Name $name -ErrorAction SilentlyContinue
    return $null -ne $service -and $service.Status -eq 'Running'
}
function Msiexec([string]$verb, [string]$package, [string]$log) {
    $arguments = "$verb `"$package`" /qn /l*v `"$log`""
    return (Start-Process msiexec.exe -ArgumentList $arguments -Wait -PassThru).ExitCode
}
function ProductVersion([string]$package) {
    $installer = New-Object -ComObject WindowsInstaller.Installer
    $database = $installer.GetType().InvokeMember('OpenDatabase', 'InvokeMethod', $null, $installer, @($package, 0))
    $view = $database.OpenView("SELECT Value FROM Property WHERE Property = 'ProductVersion'")
    $view.Execute()
    return $view.Fetch().StringData(1)
}

$Previous = (Resolve-Path $Previous).Path
$Current = (Resolve-Path $Current).Path
$logs = Join-Path $env:TEMP "orvanta-check-$(Get-Date -Format yyyyMMdd-HHmmss)"
New-Item -ItemType Directory -Path $logs | Out-Null
$programs = Join-Path $env:ProgramFiles 'Orvanta'
$data = Join-Path $env:ProgramData 'Orvanta'
$tunnel = 'AmneziaWGTunnel$Orvanta'

# 1. ICE validation.
$msival2 = @((Get-Command msival2.exe -ErrorAction SilentlyContinue).Source,
    "${env:ProgramFiles(x86)}\MsiVal2\msival2.exe") | Where-Object { $_ -and (Test-Path $_) } | Select-Object -First 1
$cub = @("${env:ProgramFiles(x86)}\MsiVal2\darice.cub", "${env:ProgramFiles(x86)}\Orca\darice.cub") +
    @(Get-ChildItem "${env:ProgramFiles(x86)}\Windows Kits" -Recurse -Filter darice.cub -ErrorAction SilentlyContinue |
        ForEach-Object FullName) | Where-Object { $_ -and (Test-Path $_) } | Select-Object -First 1
if ($msival2 -and $cub) {
    foreach ($package in $Previous, $Current) {
        $copy = Join-Path $logs (Split-Path $package -Leaf)  # msival2 writes its results into the package
        Copy-Item $package $copy
        $results = & $msival2 $copy $cub -f 2>&1 | Out-String
        $results | Set-Content (Join-Path $logs "$(Split-Path $package -Leaf).ice.txt")
        $fatal = [regex]::Matches($results, '(?m)^\s*(ICE\d+)\s+(ERROR|WARNING)\b.*$') |
            Where-Object { $_.Groups[2].Value -eq 'ERROR' -or $_.Groups[1].Value -in 'ICE63', 'ICE77' }
        $fatal | ForEach-Object { Write-Host "      $($_.Value.Trim())" }
        Check "ICEs of $(Split-Path $package -Leaf): no error, no ICE63 or ICE77 warning" ($fatal.Count -eq 0)
    }
} else {
    Write-Host "skip  ICE validation: msival2.exe and darice.cub not found (Windows SDK MSI tools, or Orca)"
}

# 2. The upgrade with the tunnel up.
Check "msiexec /i of the previous package exits 0" ((Msiexec '/i' $Previous "$logs\previous.log") -eq 0)
if (-not $Config) {
    $Config = Join-Path $logs 'tunnel.conf'
    "[Interface]`r`nPrivateKey = $([Convert]::ToBase64String((1..32 | ForEach-Object { [byte](Get-Random -Maximum 256) })))`r`nAddress = 10.64.0.2/32`r`n" |
        Set-Content -Path $Config -Encoding ascii
}
& "$programs\OrvantaCtl.exe" --wait-ms 30000 connect $Config | Out-Null
Check "OrvantaCtl connect brings the tunnel up" (WaitFor { Running $tunnel })
$code = Msiexec '/i' $Current "$logs\upgrade.log"
Check "msiexec /i of the current package (upgrade) exits 0, no reboot requested (got $code)" ($code -eq 0)
Check "the tunnel service runs again after the upgrade" (WaitFor { Running $tunnel })
Check "the helper runs again" (WaitFor { Running 'OrvantaHelper' })
$version = ProductVersion $Current
Check "the installed helper is $version" ((Get-Item "$programs\OrvantaHelper.exe").VersionInfo.FileVersion -eq $version)
$log = Get-Content "$data\helper.log" -Raw
Check "the old version's removal stopped the tunnel" ($log -match 'tunnel service stopped for an update of the helper')
Check "the new version started it again" ($log -match 'tunnel service started again after an update of the helper')
$pending = (Get-ItemProperty 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager' -Name PendingFileRenameOperations -ErrorAction SilentlyContinue).PendingFileRenameOperations
Check "no program file waits for a reboot" (-not ($pending -match '\\Orvanta\\'))

# 3. The removal.
if ($Remove) {
    Check "msiexec /x exits 0" ((Msiexec '/x' $Current "$logs\removal.log") -eq 0)
    Check "the tunnel service is gone" ($null -eq (Get-Service -Name $tunnel -ErrorAction SilentlyContinue))
    Check "the key and the program files are gone, the log kept" (
        -not (Test-Path "$data\Orvanta.conf") -and -not (Test-Path $programs) -and (Test-Path "$data\helper.log"))
}
Write-Host "logs in $logs"
Write-Host "windows checks: $failed failed"
exit [int]($failed -ne 0)
