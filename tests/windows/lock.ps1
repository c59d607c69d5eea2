<#
.SYNOPSIS
Runs vacate while something else holds its lock's name, as each kind of
holder and runner does on Windows, and checks how the run takes its turn.

.DESCRIPTION
Makes a small virtual disk (VHD) whose volume each row moves with /v, a
standard local user (net user) for one row, and scheduled tasks that run a
program as SYSTEM or as that user, as deployment engines run programs. The
holder is hold_lock.exe, the tests' helper that takes the lock's name through
vacate's own Windows code: as a run makes the lock, or as a mutex made
otherwise. It holds the name until a file appears.

| holder | runner | expected |
| an elevated administrator (the helper) | an elevated administrator | the waiting line after 2 s, the move once the holder lets go |
| SYSTEM (the helper in a task) | an elevated administrator | the same |
| an elevated administrator | SYSTEM (a task) | the same |
| a standard user, with a mutex open to all (a task with the user's password) | an elevated administrator | the squat line at once, and the move |
| an administrator, owner Administrators, with a third entry in the DACL | an elevated administrator | the squat line at once, and the move |

Each run's standard output, standard error and status are read back. A row
that cannot be set up fails, saying why. Whatever happens, the virtual disk
is detached, the user and its profile removed and the tasks unregistered.
Ends with status 0 when every check passed, 1 naming the checks that failed,
and 2 when it cannot run here. The real-volume job runs it on the vacate.exe
of the zip, from PowerShell 7.

Needs Windows 10 or 11 or Windows Server, an elevated PowerShell (Windows
PowerShell 5.1 or PowerShell 7), and nothing else holding vacate's lock.

.EXAMPLE
.\tests\windows\lock.ps1 -Vacate .\vacate.exe -Helper .\hold_lock.exe
#>
[CmdletBinding()]
param(
    # The vacate.exe to check.
    [Parameter(Mandatory = $true)]
    [string] $Vacate,
    # The tests' hold_lock.exe, built with vacate's own Windows code.
    [Parameter(Mandatory = $true)]
    [string] $Helper
)

Set-StrictMode -Version 3
$ErrorActionPreference = 'Stop'
$PSNativeCommandUseErrorActionPreference = $false

Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
$why = Get-CannotRunReason 'lock.ps1' 'makes a user, scheduled tasks and a virtual disk'
if ($why) {
    [Console]::Error.WriteLine($why)
    exit 2
}
$work = New-WorkFolder 'lock'
# Where every holder and runner can read them, the test's user included.
Copy-Item -LiteralPath $Vacate, $Helper -Destination $work
$Vacate = Join-Path $work (Split-Path -Leaf $Vacate)
$Helper = Join-Path $work (Split-Path -Leaf $Helper)
$release = Join-Path $work 'release'

$waiting = "vacate: waiting for another run of vacate to finish`r`n"
$squatted = "vacate: another program holds the lock's name; going on without it`r`n"
# Who holds the name, as what, and who runs vacate; 'user' is the test's user.
$rows = @(
    @{ Holder = 'me'; Mode = 'lock'; Runner = 'me'; Notes = $waiting },
    @{ Holder = 'SYSTEM'; Mode = 'lock'; Runner = 'me'; Notes = $waiting },
    @{ Holder = 'me'; Mode = 'lock'; Runner = 'SYSTEM'; Notes = $waiting },
    @{ Holder = 'user'; Mode = 'squat'; Runner = 'me'; Notes = $squatted },
    @{ Holder = 'me'; Mode = 'third-entry'; Runner = 'me'; Notes = $squatted }
)

$user = $null
try {
    $letter = New-TestVolume $work
    $number = 0
    foreach ($row in $rows) {
        $number++
        $name = "$($row.Holder) holds it ($($row.Mode)), $($row.Runner) runs vacate"
        Remove-Item -LiteralPath $release -Force -ErrorAction SilentlyContinue
        $holder = $null
        $runner = $null
        try {
            # The user is made for its row alone, so that a machine that will
            # not have it fails that row only.
            $as = $row.Holder
            $password = ''
            if ($as -eq 'user') {
                $user = New-TestUser $work
                $as = $user.Name
                $password = $user.Password
            }
            $holder = Start-Program -Work $work -Name "holder-$number" -As $as -Password $password `
                -Program $Helper -Arguments @($row.Mode, '300', "`"$release`"")
            if ((Wait-Text $holder 'held' 60 -Output) -lt 0) {
                $ended = Wait-Program $holder 1
                throw "the holder did not take the name: status $($ended.Status) $($ended.Why)"
            }
            $to = @(Get-FreeLetters)[0]
            $runner = Start-Program -Work $work -Name "run-$number" -As $row.Runner `
                -Program $Vacate -Arguments @('/v', $letter)
            $noticed = -1
            if ($row.Notes -eq $waiting) {
                $noticed = Wait-Text $runner 'waiting for another run' 60
            }
            New-Item -ItemType File -Path $release | Out-Null
            $ran = Wait-Program $runner 120
            $held = Wait-Program $holder 60
            if ($row.Notes -eq $waiting) {
                Test-That "$($name): the waiting line after 2 s" ($noticed -ge 2) "(after $noticed s)"
            }
            Test-That "$($name): status 0" ($ran.Status -eq 0) "(status $($ran.Status) $($ran.Why))"
            Test-That "$($name): its notes" ($ran.Errors -ceq $row.Notes) "(errors $(Format-Text $ran.Errors))"
            Test-That "$($name): moved $($letter): to $($to):" `
                ($ran.Output -ceq "Moved $($letter): to $($to):`r`n") "(output $(Format-Text $ran.Output))"
            Test-That "$($name): the holder held the name to the end" `
                ($held.Status -eq 0) "(status $($held.Status) $($held.Why))"
            if ((Get-VolumeName $to) -ne '') { $letter = $to }
        } catch {
            Test-That "$($name): set up" $false $_.Exception.Message
        } finally {
            New-Item -ItemType File -Path $release -Force | Out-Null
            if ($holder) {
                [void] (Wait-Program $holder 30)
                Remove-Program $holder
            }
            if ($runner) { Remove-Program $runner }
        }
    }
} catch {
    Test-That 'the run went to its end' $false $_.Exception.Message
} finally {
    if ($user) { Remove-TestUser $user }
    Remove-TestVolume $work
    Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
}
exit (Complete-Checks)
