<#
.SYNOPSIS
Moves a real volume with vacate and checks its messages and exit status.

.DESCRIPTION
Makes a small virtual disk (VHD) with diskpart, formats it NTFS, gives it the
highest free drive letter and writes a file on it. Then runs vacate through
cmd.exe, as a script would, and checks its exit status and every byte of its
standard output against the README's messages: moves (the volume at the
lowest free letter from D, the file readable there, the old letter free), a
move with /to and the same command again, a preview, an option after the
drive, the README's recovery commands for a volume left without a letter, a
free letter, a subst letter, Windows' own volume, a drive that is not a
letter, the usage and the help; and the status of a refusal as cmd,
Windows PowerShell 5.1 and PowerShell 7 show it. Where the volume is, is
told by its own name (\\?\Volume{...}\), recorded when the disk is made.

The README's blocks that call vacate run here too, read from the README,
with the exe under test first in Path: which letter /v took, the letter
found without /v, the status check in PowerShell and in cmd, and the logon
script with /to in both.

Whatever happens, the virtual disk is detached and the subst removed. Off
Windows, or not elevated, every case is skipped, saying why.

.EXAMPLE
Invoke-Pester -Container (New-PesterContainer -Path tests\windows\RealMove.Tests.ps1 -Data @{ Vacate = '.\build\msvc\Release\vacate.exe' })
#>
param(
    # The vacate.exe to check.
    [string] $Vacate = '',
    # The README whose recovery commands are run.
    [string] $Readme = (Join-Path $PSScriptRoot '..\..\README.md')
)
# PowerShell 7.3 and later can turn a native program's non-zero status into an
# error; here a non-zero status is an answer to check.
$PSNativeCommandUseErrorActionPreference = $false

BeforeDiscovery {
    # Each moves the volume on from where the row before left it.
    $moves = @(
        @{ Name = 'a move'; Named = 'K'; Excluding = $false; Tell = $false },
        # The lowest free letter excluded in lower case, with A to C that change
        # nothing, and the drive named as k: is.
        @{ Name = 'a move with an exclude list'; Named = 'k:'; Excluding = $true; Tell = $false },
        @{ Name = 'a move with /v, which says where'; Named = 'K'; Excluding = $false; Tell = $true }
    )
    # Runs that touch no volume: Expected is the usage, the help, or a line.
    $answers = @(
        @{ Name = 'not a letter'; Arguments = @('7'); Status = -1; Expected = 'Invalid drive letter: 7' },
        @{ Name = 'an option without its slash'; Arguments = @('whatif', 'K'); Status = -1; Expected = 'Invalid drive letter: whatif' },
        @{ Name = 'a drive with more after it'; Arguments = @('K:\data'); Status = -1; Expected = 'Invalid drive letter: K:\data' },
        @{ Name = 'a target that is no letter from D to Z'; Arguments = @('/to:B', 'K'); Status = -1; Expected = 'Invalid target letter: /to:B' },
        @{ Name = 'a target with an exclude list'; Arguments = @('/to:M', 'K', 'DE'); Status = -1; Expected = 'An exclude list has no use with /to:M' },
        @{ Name = 'the usage, without arguments'; Arguments = @(); Status = -1; Expected = 'usage' },
        @{ Name = 'the usage, with an option alone'; Arguments = @('/whatif'); Status = -1; Expected = 'usage' },
        @{ Name = 'the usage, with three arguments'; Arguments = @('K', 'D', 'E'); Status = -1; Expected = 'usage' },
        @{ Name = 'help, whatever follows'; Arguments = @('/?', 'D', 'E'); Status = 0; Expected = 'help' },
        @{ Name = 'help: /?'; Arguments = @('/?'); Status = 0; Expected = 'help' },
        @{ Name = 'help: -?'; Arguments = @('-?'); Status = 0; Expected = 'help' },
        @{ Name = 'help: -h'; Arguments = @('-h'); Status = 0; Expected = 'help' },
        @{ Name = 'help: --help'; Arguments = @('--help'); Status = 0; Expected = 'help' },
        @{ Name = 'help: HELP'; Arguments = @('HELP'); Status = 0; Expected = 'help' },
        @{ Name = 'help with an exclude list'; Arguments = @('/?', 'DEF'); Status = 0; Expected = 'help' },
        @{ Name = 'the version'; Arguments = @('/version'); Status = 0; Expected = 'version' },
        @{ Name = 'the version, whatever follows'; Arguments = @('-Version', 'K', 'DE'); Status = 0; Expected = 'version' },
        @{ Name = 'the version, as --version'; Arguments = @('--version'); Status = 0; Expected = 'version' }
    )
    # What each shell shows as the status of a refusal: -1, signed.
    $shells = @(@{ Shell = 'cmd' }, @{ Shell = 'powershell' }, @{ Shell = 'pwsh' })
}

Describe 'a real volume moved by vacate' {
    BeforeAll {
        Set-StrictMode -Version 3
        $ErrorActionPreference = 'Stop'
        Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
        $why = Get-CannotRunReason 'RealMove.Tests.ps1' 'makes a virtual disk and moves its drive letter'
        $work = $null
        $script:substLetter = $null
        $script:savedPath = $env:Path
        if ($why) { return }
        $Vacate = (Resolve-Path -LiteralPath $Vacate).ProviderPath
        $work = New-WorkFolder 'real-move'
        # The program names itself in the usage text as cmd.exe started it.
        $usage = "Usage: $Vacate <Drive> [Exclude list]`r`n" +
            "where <Drive> is drive letter to free up and`r`n" +
            "[ExcludeList] is a set of drive letters not to move it to`r`n" +
            "`r`n" +
            "For example:  $Vacate K ABCDEKYZ will free up drive K, avoiding drives A,B,C,D,E,K,Y and Z"
        $help = $usage + "`r`n" +
            "<Drive>  is a letter: K, k, K: or K:\`r`n" +
            "/whatif  (before <Drive>) says where the volume would go, and changes nothing`r`n" +
            "/v       (before <Drive>) says where the volume went`r`n" +
            "/to:L    (before <Drive>) moves it to L: (D to Z), not the lowest free letter`r`n" +
            "/version (before <Drive>) prints vacate's version`r`n"
        # The version that CMake holds, as the project's CMakeLists.txt says it.
        $version = Select-First @(Get-Content -LiteralPath (Join-Path $PSScriptRoot '..\..\CMakeLists.txt') |
                Where-Object { $_ -match '^\s+VERSION ([0-9.]+)$' } | ForEach-Object { $Matches[1] }) 'no VERSION in CMakeLists.txt'
        $contents = 'written before the move ' + [Guid]::NewGuid()
        $script:letter = New-TestVolume $work
        # The volume's own name, which no move changes: where it is is
        # checked by it, not by whatever volume holds a letter.
        $script:volume = Get-VolumeName $script:letter
        Set-Content -LiteralPath "$($script:letter):\vacate.txt" -Value $contents -Encoding Ascii
        # The README's blocks call `vacate` by name: the exe under test, first
        # in this process's Path, which a batch file's cmd.exe inherits.
        $bin = Join-Path $work 'bin'
        New-Item -ItemType Directory -Path $bin | Out-Null
        Copy-Item -LiteralPath $Vacate -Destination (Join-Path $bin 'vacate.exe')
        $env:Path = "$bin;$env:Path"
        function Invoke-ReadmeBlock([string] $Language, [int] $Index, [string] $Letter, [string] $Second) {
            $text = Get-MarkdownBlock $Readme '### In scripts' $Language $Index
            if ($Language -eq 'cmd') {
                $file = Join-Path $work 'readme.cmd'
                Set-Content -LiteralPath $file -Encoding Ascii -Value ((Set-CmdSnippetLetter $text $Letter $Second) -split "`n")
                return @(& $env:ComSpec /d /c $file | ForEach-Object { "$_" })
            }
            return Invoke-ReadmePowerShell (Set-SnippetLetter $text $Letter $Second)
        }
        function Invoke-ReadmePowerShell([string] $Text) {
            $file = Join-Path $work 'readme.ps1'
            Set-Content -LiteralPath $file -Encoding Ascii -Value $Text
            return @(& $file 3>&1 | ForEach-Object { "$_" })
        }
        # Where the volume is now, by its name; the move cases keep it.
        function Update-Letter([string] $To) {
            if ($script:volume -ne '' -and (Get-VolumeName $To) -eq $script:volume) { $script:letter = $To }
        }

        # The lowest free letter that vacate would take.
        function Get-Target([string] $Exclude = '') {
            return Select-First @(Get-FreeLetters $Exclude) 'no letter from D to Z is free and not excluded'
        }
        function Assert-Run($Run, [int] $Status, [string] $Output) {
            $Run.Output | Should -BeExactly $Output -Because "vacate ended with $($Run.Status)"
            $Run.Status | Should -Be $Status
        }
    }

    AfterAll {
        # Put the machine back, whatever failed.
        $env:Path = $script:savedPath
        if ($script:substLetter) {
            & subst.exe "$($script:substLetter):" /D | Out-Host
            @(Get-LettersInUse) | Should -Not -Contain $script:substLetter -Because 'the subst is removed'
        }
        Remove-WorkFolder $work
    }

    It '<Name>: status 0, the volume at the lowest free letter, its file there, the old letter free' -ForEach $moves {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $from = $script:letter
        $volume = $script:volume
        $drive = $from
        if ($Named -eq 'k:') { $drive = $from.ToLowerInvariant() + ':' }
        $exclude = ''
        if ($Excluding) { $exclude = 'abc' + (Get-Target).ToLowerInvariant() }
        $to = Get-Target $exclude
        $arguments = @()
        if ($Tell) { $arguments += '/v' }
        $arguments += $drive
        if ($exclude) { $arguments += $exclude }
        $said = ''
        if ($Tell) { $said = "Moved $($from): to $($to):`r`n" }

        $run = Invoke-Vacate $work $Vacate $arguments
        Update-Letter $to
        Assert-Run $run 0 $said
        Get-VolumeName $to | Should -BeExactly $volume -Because "the volume should be at $($to):"
        Get-Content -LiteralPath "$($to):\vacate.txt" -Raw | Should -BeExactly "$contents`r`n"
        @(Get-LettersInUse) | Should -Not -Contain $from
    }

    It '/to moves the volume to the letter named, and the same command again finds its letter free' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $from = $script:letter
        $volume = $script:volume
        # Not the lowest free letter, which a search would have taken.
        $to = Select-First @(Get-FreeLetters | Select-Object -Skip 1) 'fewer than two letters from D to Z are free'
        $run = Invoke-Vacate $work $Vacate @('/v', "/to:$to", $from)
        Update-Letter $to
        Assert-Run $run 0 "Moved $($from): to $($to):`r`n"
        Get-VolumeName $to | Should -BeExactly $volume
        Assert-Run (Invoke-Vacate $work $Vacate @('/v', "/to:$to", $from)) 0 "Drive $($from): is already free`r`n"
        Get-VolumeName $to | Should -BeExactly $volume -Because 'the second run changes nothing'
    }

    It '<Shell> shows the status of a refusal as -1' -ForEach $shells {
        if ($why) { Set-ItResult -Skipped -Because $why }
        Get-ShellStatus $work $Shell $Vacate @('7') | Should -BeExactly '-1'
    }

    It 'a preview says where the volume would go, and leaves it' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $to = Get-Target
        Assert-Run (Invoke-Vacate $work $Vacate @('/whatif', $script:letter)) 0 "Would move $($script:letter): to $($to):`r`n"
        Get-VolumeName $script:letter | Should -BeExactly $script:volume
    }

    It 'an option after the drive is refused' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        Assert-Run (Invoke-Vacate $work $Vacate @($script:letter, '/v')) -1 `
            "Options go before the drive: /v is not an exclude list`r`n"
        Get-VolumeName $script:letter | Should -BeExactly $script:volume
    }

    It "the README's PowerShell takes the new letter from /v's line" {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $to = Get-Target
        $text = Get-MarkdownBlock $Readme '### Which letter did it pick, and how do I choose it?' 'powershell' 0
        $said = Invoke-ReadmePowerShell ((Set-SnippetLetter $text $script:letter 'ABC') + "`n`$to")
        Update-Letter $to
        $said | Should -Be @($to)
        Get-VolumeName $to | Should -BeExactly $script:volume
    }

    It "the README's PowerShell without /v finds the new letter by the volume's name" {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $to = Get-Target
        $text = Get-MarkdownBlock $Readme '### Which letter did it pick, and how do I choose it?' 'powershell' 1
        $said = Invoke-ReadmePowerShell (Set-SnippetLetter $text $script:letter 'ABC')
        Update-Letter $to
        $said | Should -Be @("$($to):")
        Get-VolumeName $to | Should -BeExactly $script:volume
    }

    It "the README's <Language> status check tells a refusal's -1" -ForEach @(
        @{ Language = 'powershell'; Index = 0 }, @{ Language = 'cmd'; Index = 0 }
    ) {
        if ($why) { Set-ItResult -Skipped -Because $why }
        Invoke-ReadmeBlock $Language $Index '7' 'ABC' | Should -Be @('Invalid drive letter: 7', 'vacate failed: -1')
    }

    It "the README's <Language> logon script moves the volume with /to, then finds its letter free" -ForEach @(
        @{ Language = 'powershell'; Index = 1 }, @{ Language = 'cmd'; Index = 1 }
    ) {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $from = $script:letter
        $to = Select-First @(Get-FreeLetters | Select-Object -Skip 1) 'fewer than two letters from D to Z are free'
        $first = Invoke-ReadmeBlock $Language $Index $from $to
        Update-Letter $to
        $first | Should -Be @("Moved $($from): to $($to):")
        Get-VolumeName $to | Should -BeExactly $script:volume
        Invoke-ReadmeBlock $Language $Index $from $to | Should -Be @("$($from): was free already")
    }

    # The volume's letter taken away, as a failed restore leaves it, then the
    # README's command run with the volume's name and letter: cmd.exe reads it
    # from a batch file, PowerShell (this one) from a script block.
    It "the README's <Shell> command gives a volume without a letter its letter back" -ForEach @(
        @{ Shell = 'cmd' }, @{ Shell = 'powershell' }
    ) {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $letter = $script:letter
        $volume = Get-VolumeName $letter
        & mountvol.exe "$($letter):" /D | Out-Host
        @(Get-LettersInUse) | Should -Not -Contain $letter -Because 'mountvol /D took the letter away'
        $command = Get-RecoveryCommand $Readme $Shell $letter $volume
        if ($Shell -eq 'cmd') {
            $batch = Join-Path $work 'recover.cmd'
            Set-Content -LiteralPath $batch -Value "@$command", '@exit %ERRORLEVEL%' -Encoding Ascii
            & $batch | Out-Host
        } else {
            & ([scriptblock]::Create($command)) | Out-Host
        }
        $status = $LASTEXITCODE
        Wait-Letter $letter
        $status | Should -Be 0 -Because "$command should succeed"
        Get-VolumeName $letter | Should -BeExactly $volume
    }

    It 'a letter already free is said to be' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $free = @(Get-FreeLetters)[-1]
        Assert-Run (Invoke-Vacate $work $Vacate @($free)) 0 "Drive $($free): is already free`r`n"
    }

    It 'a subst letter has no volume to move, and stays' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $script:substLetter = @(Get-FreeLetters)[-1]
        & subst.exe "$($script:substLetter):" $work | Out-Host
        $LASTEXITCODE | Should -Be 0 -Because "subst $($script:substLetter): should succeed"
        Wait-Letter $script:substLetter
        Assert-Run (Invoke-Vacate $work $Vacate @($script:substLetter)) -1 "Could not get info for $($script:substLetter):\`r`n"
        Test-Path -LiteralPath "$($script:substLetter):\volume.vhd" | Should -BeTrue
    }

    It "Windows' own volume, named in lower case, is refused before anything else" {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $windows = $env:SystemDrive.Substring(0, 1).ToUpperInvariant()
        Assert-Run (Invoke-Vacate $work $Vacate @($windows.ToLowerInvariant())) -1 "Windows runs from $($windows):; can't free it`r`n"
        @(Get-LettersInUse) | Should -Contain $windows
    }

    It '<Name>' -ForEach $answers {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $output = "$Expected`r`n"
        if ($Expected -eq 'usage') { $output = $usage }
        if ($Expected -eq 'help') { $output = $help }
        if ($Expected -eq 'version') { $output = "vacate $version`r`n" }
        Assert-Run (Invoke-Vacate $work $Vacate $Arguments) $Status $output
    }

    It 'the volume has not moved since the last move' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        Get-VolumeName $script:letter | Should -BeExactly $script:volume
    }
}
