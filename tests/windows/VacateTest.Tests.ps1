# The logic of VacateTest.psm1 that needs no Windows, run anywhere: on Linux by
# tools/check, and on the Windows runners under both shells. Windows' own
# commands are stubbed where they do not exist, then mocked, and each mock
# checks the arguments it was given.

Describe 'the module, with Windows stood in for' {
    BeforeAll {
        Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
        $readme = Join-Path $PSScriptRoot '..\..\README.md'
        # Pester mocks only commands that exist: off Windows these do not. Each is
        # a global function, which the suites after this one must not meet.
        $script:stubbed = @()
        if (-not (Get-Command mountvol.exe -ErrorAction Ignore)) {
            function global:mountvol.exe { $null }
            $script:stubbed += 'mountvol.exe'
        }
        # The task's parts are made by Windows' own constructors, which change
        # nothing; off Windows, stand-ins make objects of the same properties.
        if (-not (Get-Command Register-ScheduledTask -ErrorAction Ignore)) {
            function global:New-ScheduledTaskAction {
                param($Execute, $Argument)
                [pscustomobject] @{ Execute = $Execute; Arguments = $Argument }
            }
            function global:New-ScheduledTaskSettingsSet {
                param([switch] $AllowStartIfOnBatteries, [switch] $DontStopIfGoingOnBatteries, $ExecutionTimeLimit)
                [pscustomobject] @{ DisallowStartIfOnBatteries = -not $AllowStartIfOnBatteries }
            }
            function global:New-ScheduledTaskPrincipal {
                param($UserId, $LogonType, $RunLevel)
                [pscustomobject] @{ UserId = $UserId; LogonType = $LogonType; RunLevel = $RunLevel }
            }
            function global:Register-ScheduledTask {
                param($TaskName, $Action, $Principal, $Settings, $User, $Password, $RunLevel)
            }
            function global:Start-ScheduledTask { param($TaskName) }
            function global:Stop-ScheduledTask { param($TaskName) }
            function global:Unregister-ScheduledTask { param($TaskName, [switch] $Confirm) }
            $script:stubbed += 'New-ScheduledTaskAction', 'New-ScheduledTaskSettingsSet', 'New-ScheduledTaskPrincipal',
                'Register-ScheduledTask', 'Start-ScheduledTask', 'Stop-ScheduledTask', 'Unregister-ScheduledTask'
        }
    }

    AfterAll {
        # The function drive knows no scope qualifier: function:global:NAME names
        # nothing, and would leave the stub in place.
        foreach ($stub in $script:stubbed) {
            Remove-Item "function:$stub" -ErrorAction Ignore
        }
    }

    Describe 'the README recovery command' {
        It 'for <Shell> is read from README.md and filled in' -ForEach @(
            @{ Shell = 'cmd'; Expected = 'mountvol Q: \\?\Volume{1234}\' },
            @{ Shell = 'powershell'; Expected = "mountvol Q: '\\?\Volume{1234}\'" }
        ) {
            Get-RecoveryCommand $readme $Shell 'Q' '\\?\Volume{1234}\' | Should -BeExactly $Expected
        }

        It 'is missed loudly when the README has no such block' {
            $file = Join-Path $TestDrive 'README.md'
            Set-Content -LiteralPath $file -Value '# vacate', '### A volume left without a letter', 'None.'
            { Get-RecoveryCommand $file 'cmd' 'Q' 'V' } | Should -Throw '*has no cmd block*'
        }
    }

    Describe 'the free letters' {
        It '<Name>' -ForEach @(
            @{ Name = 'from D, skipping those in use'; InUse = 'A', 'C', 'D', 'K'; Exclude = ''; First = 'E'; Count = 21 },
            @{ Name = 'never A to C, whatever is free'; InUse = @(); Exclude = ''; First = 'D'; Count = 23 },
            @{ Name = 'excluded in lower case'; InUse = 'C', 'E'; Exclude = 'dfg'; First = 'H'; Count = 19 },
            @{ Name = 'none left'; InUse = 'C'; Exclude = 'DEFGHIJKLMNOPQRSTUVWXYZ'; First = $null; Count = 0 }
        ) {
            $free = @(Get-FreeLetters -Exclude $Exclude -InUse $InUse)
            $free.Count | Should -Be $Count
            if ($Count -gt 0) {
                $free[0] | Should -BeExactly $First
                $free[-1] | Should -BeExactly 'Z'
            }
        }

        It 'when none is left, say so rather than fail to index' {
            Set-StrictMode -Version 3
            { Select-First @(Get-FreeLetters -Exclude 'DEFGHIJKLMNOPQRSTUVWXYZ' -InUse @()) 'no letter from D to Z is free' } |
                Should -Throw 'no letter from D to Z is free'
            Select-First @('G', 'H') 'unused' | Should -BeExactly 'G'
        }
    }

    Describe 'the system volume given a letter' {
        BeforeEach {
            $script:uefi = $true
            Mock mountvol.exe -ModuleName VacateTest { $global:LASTEXITCODE = [int] -not $uefi } `
                -ParameterFilter { $args[0] -eq 'S:' -and $args[1] -eq '/S' }
            Mock mountvol.exe -ModuleName VacateTest { $global:LASTEXITCODE = 0 } `
                -ParameterFilter { $args[0] -eq 'S:' -and $args[1] -eq '\\?\Volume{5}\' }
        }

        It 'takes /S first, on a UEFI machine' {
            Mount-SystemVolume 'S' '\\?\Volume{5}\' | Should -BeExactly '/S'
            Should -Invoke mountvol.exe -ModuleName VacateTest -Times 1 -Exactly
        }

        It "takes the volume's DeviceID only after /S fails, as on a BIOS machine" {
            $script:uefi = $false
            Mount-SystemVolume 'S' '\\?\Volume{5}\' | Should -BeExactly 'DeviceID'
            Should -Invoke mountvol.exe -ModuleName VacateTest -Times 1 -Exactly -ParameterFilter { $args[1] -eq '/S' }
            Should -Invoke mountvol.exe -ModuleName VacateTest -Times 1 -Exactly -ParameterFilter { $args[1] -like '\\?\Volume*' }
        }

        It 'says so when /S fails and Win32_Volume names no system volume' {
            $script:uefi = $false
            { Mount-SystemVolume 'S' '' } | Should -Throw '*names no system volume*'
        }
    }

    Describe 'a task as SYSTEM or as the test user' {
        BeforeEach {
            Mock Register-ScheduledTask -ModuleName VacateTest { $null }
        }

        It 'runs as SYSTEM by a service-account principal, elevated' {
            Register-TestTask 'vacate-test-x' 'C:\w\x.cmd' 'SYSTEM' ''
            Should -Invoke Register-ScheduledTask -ModuleName VacateTest -Times 1 -Exactly -ParameterFilter {
                $TaskName -eq 'vacate-test-x' -and -not $User -and (Test-SystemPrincipal $Principal)
            }
        }

        It 'a principal <Name> <Verdict>' -ForEach @(
            @{ Name = 'by names'; UserId = 'SYSTEM'; LogonType = 'ServiceAccount'; RunLevel = 'Highest'; Verdict = $true },
            @{ Name = 'by the numbers CIM keeps'; UserId = 'SYSTEM'; LogonType = 5; RunLevel = 1; Verdict = $true },
            @{ Name = 'not elevated (Limited, 0)'; UserId = 'SYSTEM'; LogonType = 5; RunLevel = 0; Verdict = $false },
            @{ Name = 'logged on interactively (3)'; UserId = 'SYSTEM'; LogonType = 3; RunLevel = 'Highest'; Verdict = $false },
            @{ Name = 'of another user'; UserId = 'vacatetest1'; LogonType = 'ServiceAccount'; RunLevel = 'Highest'; Verdict = $false }
        ) {
            Test-SystemPrincipal ([pscustomobject] @{ UserId = $UserId; LogonType = $LogonType; RunLevel = $RunLevel }) |
                Should -Be $Verdict
        }

        It 'unregisters the task when it cannot be started' {
            Mock Start-ScheduledTask -ModuleName VacateTest { throw 'the task service refused' }
            Mock Stop-ScheduledTask -ModuleName VacateTest { $null }
            Mock Unregister-ScheduledTask -ModuleName VacateTest { $null }
            { Start-Program -Work $TestDrive -Name 'refused' -Program 'vacate.exe' -As 'SYSTEM' } |
                Should -Throw 'the task service refused'
            Should -Invoke Unregister-ScheduledTask -ModuleName VacateTest -Times 1 -Exactly -ParameterFilter {
                $TaskName -like 'vacate-test-refused-*'
            }
        }

        It 'runs as the test user with its password, not elevated' {
            Register-TestTask 'vacate-test-y' 'C:\w\y.cmd' 'vacatetest123456' 'Vq7-abcdefghij'
            Should -Invoke Register-ScheduledTask -ModuleName VacateTest -Times 1 -Exactly -ParameterFilter {
                $User -eq 'vacatetest123456' -and $Password -eq 'Vq7-abcdefghij' -and "$RunLevel" -eq 'Limited' -and
                -not $Principal
            }
        }

        It 'runs the batch file through cmd.exe, on batteries too' {
            Register-TestTask 'vacate-test-z' 'C:\w\z.cmd' 'SYSTEM' ''
            Should -Invoke Register-ScheduledTask -ModuleName VacateTest -Times 1 -Exactly -ParameterFilter {
                $Action.Execute -eq $env:ComSpec -and $Action.Arguments -eq '/d /c "C:\w\z.cmd"' -and
                -not $Settings.DisallowStartIfOnBatteries
            }
        }
    }

    Describe 'the status a shell shows' {
        BeforeAll {
            $savedComSpec = $env:ComSpec
            $env:ComSpec = 'cmd.exe'
            foreach ($name in 'cmd.exe', 'powershell.exe', 'pwsh.exe') {
                if (-not (Get-Command $name -ErrorAction Ignore)) { Set-Item "function:global:$name" { $null } }
            }
        }

        AfterAll {
            $env:ComSpec = $savedComSpec
            foreach ($name in 'cmd.exe', 'powershell.exe', 'pwsh.exe') {
                Remove-Item "function:$name" -ErrorAction Ignore
            }
        }

        It '<Shell> runs the program once and answers what it printed' -ForEach @(
            @{ Shell = 'powershell' }, @{ Shell = 'pwsh' }
        ) {
            Mock "$Shell.exe" -ModuleName VacateTest { "-1`r`n" }
            Get-ShellStatus $TestDrive $Shell 'C:\t\vacate.exe' @('7') | Should -BeExactly '-1'
            Should -Invoke "$Shell.exe" -ModuleName VacateTest -Times 1 -Exactly -ParameterFilter {
                "$args" -eq "-NoProfile -NonInteractive -Command & 'C:\t\vacate.exe' 7 | Out-Null; `$LASTEXITCODE"
            }
        }

        It 'cmd echoes %ERRORLEVEL% after the program, from a batch file' {
            Mock cmd.exe -ModuleName VacateTest { '-1' }
            Get-ShellStatus $TestDrive 'cmd' 'C:\t\vacate.exe' @('7') | Should -BeExactly '-1'
            Get-Content -LiteralPath (Join-Path $TestDrive 'status.cmd') |
                Should -Be @('@"C:\t\vacate.exe" 7 >nul', '@echo %ERRORLEVEL%')
        }
    }

    Describe 'a work folder removed' {
        It 'has its virtual disk detached first, whenever the disk file is there' {
            Mock Invoke-Diskpart -ModuleName VacateTest { $null }
            $work = Join-Path $TestDrive 'work'
            New-Item -ItemType Directory -Path $work | Out-Null
            Set-Content -LiteralPath (Join-Path $work 'volume.vhd') -Value ''
            Remove-WorkFolder $work
            Should -Invoke Invoke-Diskpart -ModuleName VacateTest -Times 1 -Exactly -ParameterFilter {
                $Commands[-1] -eq 'detach vdisk'
            }
            Test-Path -LiteralPath $work | Should -BeFalse
        }

        It 'detaches nothing when there is no disk file' {
            Mock Invoke-Diskpart -ModuleName VacateTest { $null }
            $work = Join-Path $TestDrive 'bare'
            New-Item -ItemType Directory -Path $work | Out-Null
            Remove-WorkFolder $work
            Should -Invoke Invoke-Diskpart -ModuleName VacateTest -Times 0 -Exactly
        }
    }

    Describe 'the guides read with CR LF line ends, as a Windows checkout may have them' {
        It '<File> gives the same blocks' -ForEach @(@{ File = 'README.md' }, @{ File = 'docs/fleet.md' }) {
            $original = Join-Path (Join-Path $PSScriptRoot '..\..') $File
            $crlf = Join-Path $TestDrive ((Split-Path -Leaf $File) + '.crlf')
            $text = [IO.File]::ReadAllText($original) -replace "`r?`n", "`r`n"
            [IO.File]::WriteAllText($crlf, $text)
            $expected = @(Get-MarkdownBlocks $original | ForEach-Object { "$($_.Heading)|$($_.Language)|$($_.Text)" })
            $expected.Count | Should -BeGreaterThan 2
            @(Get-MarkdownBlocks $crlf | ForEach-Object { "$($_.Heading)|$($_.Language)|$($_.Text)" }) |
                Should -Be $expected
            if ($File -eq 'README.md') {
                Get-RecoveryCommand $crlf 'cmd' 'Q' 'V' | Should -BeExactly 'mountvol Q: V'
            }
        }
    }

    Describe "a cmd snippet's letter" {
        It 'is set on its own lines, for <Second>' -ForEach @(
            @{ Second = 'exclude'; Text = "set letter=K`nset exclude=ABCDEKYZ`nvacate `"%letter%`" `"%exclude%`"" },
            @{ Second = 'target'; Text = "@echo off`nset letter=K`nset target=M`nvacate /v `"/to:%target%`" `"%letter%`"" }
        ) {
            $set = Set-CmdSnippetLetter $Text 'Q' 'N'
            $set | Should -Match '(?m)^set letter=Q$'
            $set | Should -Match "(?m)^set $Second=N$"
            $set | Should -Not -Match '=K$|=M$|=ABCDEKYZ$'
        }

        It 'is missed loudly when the snippet does not set it' {
            { Set-CmdSnippetLetter 'vacate K' 'Q' 'N' } | Should -Throw '*0 lines*'
        }
    }

    Describe "how long the lock's holder held it" {
        BeforeAll {
            $asked = [DateTime]::UtcNow
        }

        It '<Name>' -ForEach @(
            @{ Name = 'a run that waited, and ended after the holder let go'; Waits = $true; Released = 1; Ended = 2; Still = $null; Problem = '' },
            @{ Name = 'a run that went on while the holder held'; Waits = $false; Released = 1; Ended = $null; Still = $true; Problem = '' },
            @{ Name = 'a holder that let go before it was told to'; Waits = $true; Released = -1; Ended = 2; Still = $null; Problem = 'the holder let go at *, before it was told to at *' },
            @{ Name = 'a waiting run that ended before the holder let go'; Waits = $true; Released = 2; Ended = 1; Still = $null; Problem = 'vacate ended at *, before the holder let go at *' },
            @{ Name = 'a holder gone before a run that went on ended'; Waits = $false; Released = 1; Ended = $null; Still = $false; Problem = 'the holder no longer held the name when vacate ended' }
        ) {
            $endedAt = $null
            if ($null -ne $Ended) { $endedAt = $asked.AddSeconds($Ended) }
            $said = Get-HolderProblem $Waits $asked $asked.AddSeconds($Released) $endedAt $Still
            if ($Problem) { $said | Should -BeLike $Problem } else { $said | Should -BeExactly '' }
        }
    }

    Describe 'the page files in use' {
        It '<Name>' -ForEach @(
            @{ Name = 'absent or empty: nothing to try'; Entries = @(); Problem = "ExistingPageFiles names no page file's volume but Windows' own (C:); letters found: none" },
            @{ Name = "on Windows' own volume alone"; Entries = @('\??\C:\pagefile.sys'); Problem = "ExistingPageFiles names no page file's volume but Windows' own (C:); letters found: C" },
            @{ Name = 'on another volume too, in lower case'; Entries = @('\??\C:\pagefile.sys', '\??\d:\pagefile.sys'); Problem = '' },
            @{ Name = 'without the \??\ prefix'; Entries = @('E:\pagefile.sys'); Problem = '' }
        ) {
            Get-PageFileProblem $Entries 'C' | Should -BeExactly $Problem
        }

        It 'gives each letter once, in capitals' {
            Get-PageFileLetters @('\??\d:\pagefile.sys', '\??\D:\swap.sys', 'x', '\??\C:\pagefile.sys') |
                Should -Be @('D', 'C')
        }
    }

    Describe "the test user's password" {
        It 'fits net user /add without its question, and meets complexity' {
            $passwords = 1..20 | ForEach-Object { New-TestPassword }
            foreach ($password in $passwords) {
                $password.Length | Should -BeLessOrEqual 14
                $password | Should -MatchExactly '[A-Z]'
                $password | Should -MatchExactly '[a-z]'
                $password | Should -Match '[0-9]'
                $password | Should -Match '[^A-Za-z0-9]'
            }
            @($passwords | Sort-Object -Unique).Count | Should -BeGreaterThan 1
        }
    }

    Describe 'a run timed from its own start' {
        BeforeEach {
            $run = New-ProgramRun $TestDrive 'timed' 'vacate.exe' @('/v', 'K')
            $run.Asked = [DateTime]::UtcNow.AddSeconds(-60)
        }

        It 'is not timed before its task started' {
            Get-RunSeconds $run | Should -BeNullOrEmpty
        }

        It 'counts from when its batch file started, not from when the task was asked for' {
            Set-Content -LiteralPath $run.Started -Value ''
            (Get-Item -LiteralPath $run.Started).LastWriteTimeUtc = [DateTime]::UtcNow.AddSeconds(-1)
            Set-Content -LiteralPath $run.Errors -Value 'vacate: waiting for another run of vacate to finish'
            $seconds = Wait-Text $run 'waiting for another run' 5
            $seconds | Should -BeGreaterOrEqual 0.9
            $seconds | Should -BeLessThan 10
        }

        It 'writes its start before it runs the program' {
            $lines = @(Get-Content -LiteralPath $run.Batch)
            $lines[0] | Should -BeExactly ('@type nul >"' + $run.Started + '"')
            $lines[1] | Should -BeLike '@"vacate.exe" /v K >*'
        }
    }

    Describe 'msiexec' {
        It 'is given <Expected> for <Action> <Target>' -ForEach @(
            @{ Action = '/i'; Target = 'C:\d\vacate-1.0.0-win64.msi'; Expected = '/i "C:\d\vacate-1.0.0-win64.msi" /qn /norestart /l*v "C:\l.log"' },
            @{ Action = '/x'; Target = '{A97F00CD-AEA3-57B4-BBC3-BE3B5AE7A2AF}'; Expected = '/x {A97F00CD-AEA3-57B4-BBC3-BE3B5AE7A2AF} /qn /norestart /l*v "C:\l.log"' }
        ) {
            Get-MsiexecArguments $Action $Target 'C:\l.log' | Should -BeExactly $Expected
        }

        It 'status <Status> is <Verdict> where <Expected> is expected' -ForEach @(
            @{ Status = 0; Expected = 0; Verdict = $true },
            @{ Status = 3010; Expected = 0; Verdict = $true },
            @{ Status = 1603; Expected = 0; Verdict = $false },
            @{ Status = 1603; Expected = 1603; Verdict = $true },
            @{ Status = 0; Expected = 1603; Verdict = $false },
            @{ Status = 3010; Expected = 1605; Verdict = $false },
            @{ Status = 1618; Expected = 0; Verdict = $false }
        ) {
            Test-MsiexecStatus $Status $Expected | Should -Be $Verdict
        }

        It 'is waited for, as the guide shows it' {
            Mock Start-Process -ModuleName VacateTest { [pscustomobject] @{ ExitCode = 1605 } }
            Invoke-Msiexec 'me' '/x "C:\v.msi" /qn' $TestDrive 'x' | Should -Be 1605
            Should -Invoke Start-Process -ModuleName VacateTest -Times 1 -Exactly -ParameterFilter {
                $FilePath -eq 'msiexec.exe' -and $ArgumentList -eq '/x "C:\v.msi" /qn' -and $Wait -and $PassThru
            }
        }
    }

    Describe "the machine's Path after an install step" {
        BeforeAll {
            $folder = 'C:\Program Files\vacate'
            $set = '%SystemRoot%\vacate-test;C:\Tools;C:\Windows\system32'
        }

        It '<Name>' -ForEach @(
            @{ Name = 'an expandable Path that gains the folder is right'; Kind = 'ExpandString'
                After = '%SystemRoot%\vacate-test;C:\Tools;C:\Windows\system32;C:\Program Files\vacate'; Installed = $true; Problems = @() },
            @{ Name = 'a plain Path that stays plain is right'; Kind = 'String'
                After = '%SystemRoot%\vacate-test;C:\Tools;C:\Windows\system32;C:\Program Files\vacate\'; Installed = $true; Problems = @() },
            @{ Name = "Wine's trailing ; after the uninstall is right"; Kind = 'ExpandString'
                After = '%SystemRoot%\vacate-test;C:\Tools;C:\Windows\system32;'; Installed = $false; Problems = @() },
            @{ Name = 'an expandable Path frozen into REG_SZ is wrong'; Kind = 'ExpandString'; AfterKind = 'String'
                After = '%SystemRoot%\vacate-test;C:\Tools;C:\Windows\system32;C:\Program Files\vacate'; Installed = $true
                Problems = @('the Path was ExpandString and is String now') },
            @{ Name = 'the %SystemRoot% entry expanded is wrong'; Kind = 'ExpandString'
                After = 'C:\Windows\vacate-test;C:\Tools;C:\Windows\system32;C:\Program Files\vacate'; Installed = $true
                Problems = @('the entry %SystemRoot%\vacate-test is no longer there unexpanded',
                    'the other entries changed: C:\Windows\vacate-test;C:\Tools;C:\Windows\system32') },
            @{ Name = 'another entry lost is wrong'; Kind = 'ExpandString'
                After = '%SystemRoot%\vacate-test;C:\Windows\system32;C:\Program Files\vacate'; Installed = $true
                Problems = @('the other entries changed: %SystemRoot%\vacate-test;C:\Windows\system32') },
            @{ Name = 'the folder twice is wrong'; Kind = 'ExpandString'
                After = '%SystemRoot%\vacate-test;C:\Tools;C:\Windows\system32;C:\Program Files\vacate;C:\Program Files\vacate'; Installed = $true
                Problems = @('C:\Program Files\vacate is there 2 times, not 1') },
            @{ Name = 'the folder left after the uninstall is wrong'; Kind = 'ExpandString'
                After = '%SystemRoot%\vacate-test;C:\Tools;C:\Windows\system32;C:\Program Files\vacate'; Installed = $false
                Problems = @('C:\Program Files\vacate is there 1 times, not 0') }
        ) {
            $kindNow = $Kind
            if ($_.ContainsKey('AfterKind')) { $kindNow = $_.AfterKind }
            $before = New-MachinePath $Kind $set
            $now = New-MachinePath $kindNow $After
            $said = @(Get-PathProblems $before $now $folder $Installed '%SystemRoot%\vacate-test')
            ($said -join "`n") | Should -BeExactly ($Problems -join "`n")
        }
    }
}

Describe 'after the module suite' {
    It 'leaves no stub of its own behind, so that the suites after it meet the real commands' {
        foreach ($name in $script:stubbed) {
            Get-Command -CommandType Function -Name $name -ErrorAction Ignore |
                Should -BeNullOrEmpty -Because "the module suite stubbed $name"
        }
    }
}
