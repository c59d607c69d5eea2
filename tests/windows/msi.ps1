<#
.SYNOPSIS
Installs, upgrades and removes vacate's MSI as Windows Installer does, and
checks what each step leaves.

.DESCRIPTION
Runs a table of msiexec steps, each waiting for msiexec's status, as
docs/fleet.md tells administrators to: the MSI installed (0), the same again
(0), the next version over it (0), the earlier version over the later (1603:
the downgrade refused), /x with the earlier version's file (1605), /x by the
ProductCode found from the UpgradeCode (0). After each step: which versions
of vacate's UpgradeCode are installed, and one entry in Programs and
Features while one is; the machine's Path still REG_EXPAND_SZ, its other
entries as they were (every %SystemRoot% entry unexpanded) and the folder
in it once while installed; a process started with the machine's Path as the
registry now holds it finds `vacate /?` exactly while installed; and after
the last, the folder gone. Then the whole table once more with msiexec run
as SYSTEM by a scheduled task, as Intune and Configuration Manager run it.

It tests the MSI that a release publishes, and so its vacate.exe, and a next
version of it that the Linux job builds for this test alone (the same exe
under the next patch version). Whatever happens, vacate is uninstalled and
the tasks removed at the end. Ends with status 0 when every check passed, 1
naming the checks that failed, and 2 when it cannot run here. The
real-volume job runs it from Windows PowerShell 5.1, which deployment engines
run.

Needs Windows 10 or 11 or Windows Server, without vacate installed, and an
elevated PowerShell (Windows PowerShell 5.1 or PowerShell 7).

.EXAMPLE
.\tests\windows\msi.ps1 -Msi .\vacate-1.0.0-win64.msi -NextMsi .\next-version.msi
#>
[CmdletBinding()]
param(
    # The MSI to check.
    [Parameter(Mandatory = $true)]
    [string] $Msi,
    # The same MSI under the next version.
    [Parameter(Mandatory = $true)]
    [string] $NextMsi
)

Set-StrictMode -Version 3
$ErrorActionPreference = 'Stop'
$PSNativeCommandUseErrorActionPreference = $false

Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
$why = Get-CannotRunReason 'msi.ps1' 'installs vacate for the whole machine and removes it again'
if ($why) {
    [Console]::Error.WriteLine($why)
    exit 2
}
$Msi = (Resolve-Path -LiteralPath $Msi).ProviderPath
$NextMsi = (Resolve-Path -LiteralPath $NextMsi).ProviderPath

# Windows Installer's automation object has no type information for
# PowerShell to call it by: each member is invoked by its name.
$installer = New-Object -ComObject WindowsInstaller.Installer
function Invoke-Com($Object, [string] $Member, [string] $Kind, [object[]] $Arguments = $null) {
    return $Object.GetType().InvokeMember($Member, $Kind, $null, $Object, $Arguments)
}

function Get-MsiProperty([string] $Path, [string] $Name) {
    $database = Invoke-Com $installer 'OpenDatabase' 'InvokeMethod' @($Path, 0)
    $view = Invoke-Com $database 'OpenView' 'InvokeMethod' @("SELECT Value FROM Property WHERE Property = '$Name'")
    Invoke-Com $view 'Execute' 'InvokeMethod' | Out-Null
    $record = Invoke-Com $view 'Fetch' 'InvokeMethod'
    $value = Invoke-Com $record 'StringData' 'GetProperty' @(1)
    Invoke-Com $view 'Close' 'InvokeMethod' | Out-Null
    # The file stays open until the last reference to it goes.
    foreach ($object in $record, $view, $database) {
        [void] [Runtime.InteropServices.Marshal]::ReleaseComObject($object)
    }
    return $value
}

# The ProductCodes installed under vacate's UpgradeCode: how docs/fleet.md
# finds what to uninstall.
function Get-Installed {
    foreach ($product in (Invoke-Com $installer 'RelatedProducts' 'GetProperty' @($upgradeCode))) {
        [pscustomobject] @{
            Code = $product
            Version = Invoke-Com $installer 'ProductInfo' 'GetProperty' @($product, 'VersionString')
        }
    }
}

$environmentKey = 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
# The machine's Path as the registry holds it: its type, and its entries
# unexpanded.
function Get-MachinePath {
    $key = Get-Item -LiteralPath $environmentKey
    $value = $key.GetValue('Path', '', 'DoNotExpandEnvironmentNames')
    return [pscustomobject] @{
        Kind = $key.GetValueKind('Path')
        Entries = @($value -split ';' | Where-Object { $_ -ne '' })
        Expanded = [Environment]::ExpandEnvironmentVariables($value)
    }
}

# Whether a new cmd.exe whose Path is the machine's, as the registry holds it
# now, finds vacate: this script's own Path is the one it started with.
function Test-FoundOnPath {
    $start = New-Object Diagnostics.ProcessStartInfo $env:ComSpec, '/d /c vacate /?'
    $start.UseShellExecute = $false
    $start.RedirectStandardOutput = $true
    $start.RedirectStandardError = $true
    $start.EnvironmentVariables['Path'] = (Get-MachinePath).Expanded
    $process = [Diagnostics.Process]::Start($start)
    $output = $process.StandardOutput.ReadToEnd()
    [void] $process.StandardError.ReadToEnd()
    $process.WaitForExit()
    return $process.ExitCode -eq 0 -and $output.StartsWith('Usage: vacate <Drive>')
}

function Get-UninstallEntries {
    @(Get-ChildItem -LiteralPath 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' |
        Where-Object { $_.GetValue('DisplayName') -eq 'vacate' })
}

# msiexec as this user, as the guide shows it (Start-Process -Wait), or as
# SYSTEM through a scheduled task, whose batch file waits for it. Answers its
# status.
function Invoke-Msiexec([string] $As, [string] $Arguments, [string] $Name) {
    if ($As -eq 'me') {
        return (Start-Process msiexec.exe -ArgumentList $Arguments -Wait -PassThru).ExitCode
    }
    $run = Start-Program -Work $work -Name $Name -As $As `
        -Program (Join-Path $env:SystemRoot 'System32\msiexec.exe') -Arguments @($Arguments)
    try {
        $ended = Wait-Program $run 600
        if ($null -eq $ended.Status) { throw "msiexec as $($As): $($ended.Why)" }
        return $ended.Status
    } finally {
        Remove-Program $run
    }
}

$upgradeCode = Get-MsiProperty $Msi 'UpgradeCode'
$version = Get-MsiProperty $Msi 'ProductVersion'
$nextVersion = Get-MsiProperty $NextMsi 'ProductVersion'
$folder = Join-Path $env:ProgramFiles 'vacate'
$work = New-WorkFolder 'msi'

# Each step, the status msiexec must end with, and the version installed after
# it ('' for none). The ProductCode is the one installed at that step.
$steps = @(
    @{ Name = 'install'; Arguments = "/i `"$Msi`""; Status = 0; Installed = $version },
    @{ Name = 'the same again'; Arguments = "/i `"$Msi`""; Status = 0; Installed = $version },
    @{ Name = 'the next version over it'; Arguments = "/i `"$NextMsi`""; Status = 0; Installed = $nextVersion },
    @{ Name = 'the earlier version over the later: refused'; Arguments = "/i `"$Msi`""; Status = 1603; Installed = $nextVersion },
    @{ Name = "/x with the earlier version's file"; Arguments = "/x `"$Msi`""; Status = 1605; Installed = $nextVersion },
    @{ Name = '/x by ProductCode'; Arguments = '/x PRODUCTCODE'; Status = 0; Installed = '' }
)

$before = Get-MachinePath
try {
    if (@(Get-Installed).Count -gt 0) { throw 'vacate is installed already: uninstall it first' }
    Test-That "the machine's Path is REG_EXPAND_SZ before" ($before.Kind -eq 'ExpandString')
    foreach ($as in 'me', 'SYSTEM') {
        $number = 0
        foreach ($step in $steps) {
            $number++
            $name = "$($step.Name), msiexec as $as"
            $log = Join-Path $work "$as-$number.log"
            $product = @(Get-Installed | ForEach-Object { $_.Code }) -join ' '
            $arguments = $step.Arguments.Replace('PRODUCTCODE', $product) + " /qn /norestart /l*v `"$log`""
            $status = Invoke-Msiexec $as $arguments "msiexec-$as-$number"
            Test-That "$($name): status $($step.Status)" ($status -eq $step.Status) "(it was $status; log $log)"

            $installed = @(Get-Installed | ForEach-Object { $_.Version }) -join ' '
            Test-That "$($name): installed '$($step.Installed)'" ($installed -eq $step.Installed) "(it is '$installed')"
            $entries = @(Get-UninstallEntries).Count
            $listed = [int] ($step.Installed -ne '')
            Test-That "$($name): $listed in Programs and Features" ($entries -eq $listed) "(there are $entries)"
            $path = Get-MachinePath
            Test-That "$($name): the machine's Path is REG_EXPAND_SZ" ($path.Kind -eq 'ExpandString') "(it is $($path.Kind))"
            $ours = @($path.Entries | Where-Object { $_.TrimEnd('\') -eq $folder })
            $others = @($path.Entries | Where-Object { $_.TrimEnd('\') -ne $folder })
            Test-That "$($name): the Path's other entries as they were" `
                (($others -join ';') -ceq ($before.Entries -join ';')) "(now: $($others -join ';'))"
            Test-That "$($name): the folder in the Path $listed times" ($ours.Count -eq $listed) "(it is there $($ours.Count) times)"
            Test-That "$($name): a new process finds vacate exactly while installed" ((Test-FoundOnPath) -eq ($listed -eq 1))
        }
        Test-That "msiexec as $($as): the folder is gone" (-not (Test-Path -LiteralPath $folder))
    }
} catch {
    Test-That 'the run went to its end' $false $_.Exception.Message
} finally {
    foreach ($left in @(Get-Installed)) {
        Start-Process msiexec.exe -ArgumentList "/x $($left.Code) /qn /norestart" -Wait | Out-Null
    }
    Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
}
exit (Complete-Checks)
