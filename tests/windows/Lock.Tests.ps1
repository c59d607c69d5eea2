<#
.SYNOPSIS
Runs vacate while something else holds its lock's name, as each kind of
holder and runner does on Windows, and checks how the run takes its turn.

.DESCRIPTION
Makes a small virtual disk (VHD) whose volume each row moves with /v, a
standard local user for one row, and scheduled tasks that run a program as
SYSTEM or as that user, as deployment engines run programs. The holder is
hold_lock.exe, the tests' helper that takes the lock's name through vacate's
own Windows code: as a run makes the lock, or as a mutex made otherwise. It
holds the name until a file appears.

| holder | runner | expected |
| an elevated administrator (the helper) | an elevated administrator | the waiting line 2 s after the run started, the move once the holder lets go |
| SYSTEM (the helper in a task) | an elevated administrator | the same |
| an elevated administrator | SYSTEM (a task) | the same |
| a standard user, with a mutex open to all (a task with the user's password) | an elevated administrator | the squat line within 2 s, and the move |
| an administrator, owner Administrators, with a third entry in the DACL | an elevated administrator | the squat line within 2 s, and the move |

Each run's standard output, standard error and status are read back, and
its times are counted from its own start, not from when its task was asked
for. The holder says "released" as it ends, when the name is let go: a
holder that let go before it was told fails its row, a run that waited must
end after it, and a run that goes on must end while the holder still holds.

Then the test's standard user runs vacate, not elevated, as the README says
it handles: /whatif says that the move needs an elevated run, and a run is
refused with "Could not remove", both with -1 and the volume where it was.

A row that cannot be set up fails, saying why. Whatever happens, the
virtual disk is detached, the user and its profile removed and the tasks
unregistered. Off Windows, or not elevated, every case is skipped, saying
why.

.EXAMPLE
Invoke-Pester -Container (New-PesterContainer -Path tests\windows\Lock.Tests.ps1 -Data @{ Vacate = '.\vacate.exe'; Helper = '.\hold_lock.exe' })
#>
param(
    # The vacate.exe to check.
    [string] $Vacate = '',
    # The tests' hold_lock.exe, built with vacate's own Windows code.
    [string] $Helper = ''
)
$PSNativeCommandUseErrorActionPreference = $false

BeforeDiscovery {
    # Who holds the name, as what, and who runs vacate; 'user' is the test's
    # user. A run waits only on a lock made as a run makes it.
    $rows = @(
        @{ Holder = 'me'; Mode = 'lock'; Runner = 'me'; Waits = $true },
        @{ Holder = 'SYSTEM'; Mode = 'lock'; Runner = 'me'; Waits = $true },
        @{ Holder = 'me'; Mode = 'lock'; Runner = 'SYSTEM'; Waits = $true },
        @{ Holder = 'user'; Mode = 'squat'; Runner = 'me'; Waits = $false },
        @{ Holder = 'me'; Mode = 'third-entry'; Runner = 'me'; Waits = $false }
    )
}

Describe "vacate's lock, held by each kind of holder" {
    BeforeAll {
        Set-StrictMode -Version 3
        $ErrorActionPreference = 'Stop'
        Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
        $why = Get-CannotRunReason 'Lock.Tests.ps1' 'makes a user, scheduled tasks and a virtual disk'
        $work = $null
        $script:user = $null
        if ($why) { return }
        $work = New-WorkFolder 'lock'
        # Where every holder and runner can read them, the test's user included.
        Copy-Item -LiteralPath $Vacate, $Helper -Destination $work
        $Vacate = Join-Path $work (Split-Path -Leaf $Vacate)
        $Helper = Join-Path $work (Split-Path -Leaf $Helper)
        $release = Join-Path $work 'release'
        $waiting = "vacate: waiting for another run of vacate to finish`r`n"
        $squatted = "vacate: another program holds the lock's name; going on without it`r`n"
        $script:letter = New-TestVolume $work
        $script:volume = Get-VolumeName $script:letter
        $script:number = 0
    }

    AfterAll {
        try {
            if ($script:user) { Remove-TestUser $script:user }
        } finally {
            Remove-WorkFolder $work
        }
    }

    Context '<Holder> holds it (<Mode>), <Runner> runs vacate' -ForEach $rows {
        BeforeAll {
            $holding = $null
            $running = $null
            if ($why) { return }
            $script:number++
            Remove-Item -LiteralPath $release -Force -ErrorAction SilentlyContinue
            $notes = $squatted
            $notice = 'another program holds'
            if ($Waits) {
                $notes = $waiting
                $notice = 'waiting for another run'
            }
            # The user is made for its row alone, so that a machine that will
            # not have it fails that row only.
            $as = $Holder
            $password = ''
            if ($as -eq 'user') {
                $script:user = New-TestUser $work
                $as = $script:user.Name
                $password = $script:user.Password
            }
            $holding = Start-Program -Work $work -Name "holder-$script:number" -As $as -Password $password `
                -Program $Helper -Arguments @($Mode, '300', "`"$release`"")
            if ((Wait-Text $holding 'held' 60 -Output) -lt 0) {
                $ended = Wait-Program $holding 1
                throw "the holder did not take the name: status $($ended.Status) $($ended.Why)"
            }
            $from = $script:letter
            $to = Select-First @(Get-FreeLetters) 'no letter from D to Z is free'
            $running = Start-Program -Work $work -Name "run-$script:number" -As $Runner `
                -Program $Vacate -Arguments @('/v', $from)
            $noticed = Wait-Text $running $notice 60
            # A run that waits ends only once the holder lets go; one that goes
            # on must end while the holder still holds the name.
            $stillHeld = $null
            if (-not $Waits) {
                $ran = Wait-Program $running 120
                $stillHeld = -not (Test-Path -LiteralPath $holding.Status) -and
                    -not (Read-Text $holding.Output).Contains('released')
            }
            $releaseAsked = [DateTime]::UtcNow
            New-Item -ItemType File -Path $release | Out-Null
            if ($Waits) { $ran = Wait-Program $running 120 }
            $held = Wait-Program $holding 60
            $releasedAt = (Get-Item -LiteralPath $holding.Output).LastWriteTimeUtc
            $ranEndedAt = $null
            if (Test-Path -LiteralPath $running.Status) { $ranEndedAt = (Get-Item -LiteralPath $running.Status).LastWriteTimeUtc }
            if ((Get-VolumeName $to) -eq $script:volume) { $script:letter = $to }
        }

        AfterAll {
            if ($work) { New-Item -ItemType File -Path $release -Force | Out-Null }
            if ($holding) {
                [void] (Wait-Program $holding 30)
                Remove-Program $holding
            }
            if ($running) { Remove-Program $running }
        }

        It 'says why it waits, or goes on, when it should: after 2 s of waiting, or at once' {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $noticed | Should -BeGreaterOrEqual 0 -Because "the run's standard error should hold '$notice'"
            if ($Waits) {
                $noticed | Should -BeGreaterOrEqual 2
            } else {
                $noticed | Should -BeLessThan 2
            }
        }

        It 'ends with status 0' {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $ran.Status | Should -Be 0 -Because $ran.Why
        }

        It 'writes its notes alone on standard error' {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $ran.Errors | Should -BeExactly $notes
        }

        It 'moves the volume, and says where' {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $ran.Output | Should -BeExactly "Moved $($from): to $($to):`r`n"
        }

        It 'leaves the holder holding the name to the end' {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $held.Status | Should -Be 0 -Because $held.Why
            $held.Output | Should -BeExactly "held`r`nreleased`r`n"
            Get-HolderProblem $Waits $releaseAsked $releasedAt $ranEndedAt $stillHeld | Should -BeExactly ''
        }
    }

    # Without administrator rights, which GitHub's runners never lack, as the
    # README promises: the preview says the move needs an elevated run, and
    # the run is refused at the removal; the volume stays where it is.
    Context 'a standard user runs vacate <Arguments>' -ForEach @(
        @{ Arguments = '/whatif <letter>'; Preview = $true },
        @{ Arguments = '<letter>'; Preview = $false }
    ) {
        BeforeAll {
            $ran = $null
            if ($why) { return }
            $script:number++
            if (-not $script:user) { $script:user = New-TestUser $work }
            $from = $script:letter
            $to = Select-First @(Get-FreeLetters) 'no letter from D to Z is free'
            $arguments = @($from)
            $expected = "Could not remove $($from):\`r`n"
            if ($Preview) {
                $arguments = @('/whatif', $from)
                $expected = "Would move $($from): to $($to):; the move needs an elevated run`r`n"
            }
            $running = Start-Program -Work $work -Name "standard-$script:number" -As $script:user.Name `
                -Password $script:user.Password -Program $Vacate -Arguments $arguments
            try {
                $ran = Wait-Program $running 120
            } finally {
                Remove-Program $running
            }
        }

        It 'says what the README says, and ends with -1' {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $ran.Output | Should -BeExactly $expected -Because ("a standard user's run said '$($ran.Output)'; " +
                "if it is 'Could not get info', Windows refuses the volume's name to a standard user, " +
                'and the README is what is wrong')
            $ran.Status | Should -Be -1 -Because $ran.Why
        }

        It 'leaves the volume at its letter' {
            if ($why) { Set-ItResult -Skipped -Because $why }
            Get-VolumeName $from | Should -BeExactly $script:volume
        }
    }
}
