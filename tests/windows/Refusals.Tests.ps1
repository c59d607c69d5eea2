<#
.SYNOPSIS
Asks vacate to free the letters of the volumes that Windows needs, on real
volumes, and checks that each is refused; then previews and moves a volume
that Windows does not need.

.DESCRIPTION
Each refusal is tried first with /whatif, and run for real only when the
preview refused it, so that a fault never moves a volume the machine needs:

| volume | expected |
| Windows' own ($env:SystemDrive) | Windows runs from C:; can't free it |
| each volume with a page file in use now (ExistingPageFiles), which must name one beyond Windows' own | Windows keeps a page file on D:; can't free it (or the line above, for Windows' own) |
| a virtual disk (VHD) that the registry names as a page file, row by row (below) | Windows keeps a page file on Z:; can't free it |
| the VHD named as the crash dumps' place, row by row (below) | Windows writes its crash dumps to Z:; can't free it |
| the system volume (EFI or System Reserved), given a letter for the test | Windows boots from S:; can't free it |

The VHD's rows each write registry values and put them back as they were:
PagingFiles as `Z:\pagefile.sys 0 0`, as `z:\pagefile.sys`, and naming
another volume while ExistingPageFiles names `\??\Z:\pagefile.sys` (the only
way to reach that form), each refused; PagingFiles `?:\pagefile.sys` alone
(Windows chooses) gives `Would move` with /whatif; CrashControl's
DedicatedDumpFile (REG_SZ) on it, and its DumpFile as REG_EXPAND_SZ with
CrashDumpEnabled 1, each refused. The system-volume case
fails, saying why, where the system volume is Windows' own: such a machine
cannot show that refusal apart from Windows' own volume's. Then the VHD,
named nowhere: /whatif says where it would go and leaves it, and /v moves it
and says where.

The system volume loses the letter it was given, and the virtual disk is
detached, whatever happens. Off Windows, or not elevated, every case is
skipped, saying why.

.EXAMPLE
Invoke-Pester -Container (New-PesterContainer -Path tests\windows\Refusals.Tests.ps1 -Data @{ Vacate = '.\vacate.exe' })
#>
param(
    # The vacate.exe to check.
    [string] $Vacate = ''
)
$PSNativeCommandUseErrorActionPreference = $false

BeforeDiscovery {
    # Registry values written for a row, on the VHD's letter: {0} is that
    # letter, {1} the same in lower case, {2} Windows' own letter. Key is
    # Memory Management or CrashControl. Refused is the start of the line that
    # refuses it, or '' for a preview that moves.
    $registryRows = @(
        @{ Name = 'a page file for the next start: Z:\pagefile.sys 0 0'
            Values = @(@{ Key = 'memory'; Name = 'PagingFiles'; Type = 'MultiString'; Data = @('{0}:\pagefile.sys 0 0') })
            Refused = 'Windows keeps a page file on' },
        @{ Name = 'a page file for the next start, in lower case: z:\pagefile.sys'
            Values = @(@{ Key = 'memory'; Name = 'PagingFiles'; Type = 'MultiString'; Data = @('{1}:\pagefile.sys') })
            Refused = 'Windows keeps a page file on' },
        @{ Name = 'a page file in use now, \??\Z:\pagefile.sys, while PagingFiles names another volume'
            Values = @(@{ Key = 'memory'; Name = 'PagingFiles'; Type = 'MultiString'; Data = @('{2}:\pagefile.sys 0 0') },
                @{ Key = 'memory'; Name = 'ExistingPageFiles'; Type = 'MultiString'; Data = @('\??\{0}:\pagefile.sys') })
            Refused = 'Windows keeps a page file on' },
        @{ Name = 'a page file where Windows chooses, ?:\pagefile.sys, names no letter'
            Values = @(@{ Key = 'memory'; Name = 'PagingFiles'; Type = 'MultiString'; Data = @('?:\pagefile.sys') })
            Refused = '' },
        @{ Name = 'a dedicated dump file: DedicatedDumpFile z:\dedicated.sys'
            Values = @(@{ Key = 'crash'; Name = 'DedicatedDumpFile'; Type = 'String'; Data = @('{1}:\dedicated.sys') })
            Refused = 'Windows writes its crash dumps to' },
        @{ Name = 'the dump file, REG_EXPAND_SZ, with dumps on: DumpFile Z:\MEMORY.DMP'
            Values = @(@{ Key = 'crash'; Name = 'CrashDumpEnabled'; Type = 'DWord'; Data = @(1) },
                @{ Key = 'crash'; Name = 'DumpFile'; Type = 'ExpandString'; Data = @('{0}:\MEMORY.DMP') })
            Refused = 'Windows writes its crash dumps to' }
    )
}

Describe 'the volumes Windows needs, refused' {
    BeforeAll {
        Set-StrictMode -Version 3
        $ErrorActionPreference = 'Stop'
        Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
        $why = Get-CannotRunReason 'Refusals.Tests.ps1' 'changes the page files and the system volume letter of the machine'
        $work = $null
        $script:systemLetter = ''
        # Every value a row may write, saved before the first and put back
        # after the last, whatever happens.
        $written = @(@('memory', 'PagingFiles'), @('memory', 'ExistingPageFiles'),
            @('crash', 'DedicatedDumpFile'), @('crash', 'CrashDumpEnabled'), @('crash', 'DumpFile'))
        $saved = @{}
        if ($why) { return }
        $Vacate = (Resolve-Path -LiteralPath $Vacate).ProviderPath
        $work = New-WorkFolder 'refusals'
        $keys = @{
            memory = 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager\Memory Management'
            crash = 'HKLM:\SYSTEM\CurrentControlSet\Control\CrashControl'
        }
        $windows = $env:SystemDrive.Substring(0, 1).ToUpperInvariant()

        # The preview first; the run for real only when the preview refused,
        # and then it must refuse alike and leave the letter in use.
        function Assert-Refused([string] $Letter, [string] $Line) {
            $expected = "$Line`r`n"
            $preview = Invoke-Vacate $work $Vacate @('/whatif', $Letter)
            $preview.Output | Should -BeExactly $expected -Because "/whatif $Letter ended with $($preview.Status)"
            $preview.Status | Should -Be -1
            $run = Invoke-Vacate $work $Vacate @($Letter)
            $run.Output | Should -BeExactly $expected -Because "$Letter ended with $($run.Status)"
            $run.Status | Should -Be -1
            @(Get-LettersInUse) | Should -Contain $Letter
        }
        # What a drive letter holding Windows' own or a page file is refused with.
        function Get-PageFileLine([string] $Letter) {
            if ($Letter -eq $windows) { return "Windows runs from $($windows):; can't free it" }
            return "Windows keeps a page file on $($Letter):; can't free it"
        }
        # A value as it is: its kind and data (unexpanded), or absent.
        function Get-Value([string] $Key, [string] $Name) {
            $item = Get-Item -LiteralPath $keys[$Key]
            if ($item.GetValueNames() -notcontains $Name) { return $null }
            return [pscustomobject] @{
                Kind = $item.GetValueKind($Name)
                Data = $item.GetValue($Name, $null, 'DoNotExpandEnvironmentNames')
            }
        }
        function Restore-Value([string] $Key, [string] $Name, $Value) {
            if ($null -eq $Value) {
                Remove-ItemProperty -LiteralPath $keys[$Key] -Name $Name -ErrorAction SilentlyContinue
            } else {
                Set-ItemProperty -LiteralPath $keys[$Key] -Name $Name -Value $Value.Data -Type $Value.Kind
            }
        }
        foreach ($value in $written) { $saved[$value -join '\'] = Get-Value $value[0] $value[1] }
        $existingPageFiles = $saved['memory\ExistingPageFiles']
        $letter = New-TestVolume $work
    }

    AfterAll {
        if ($work) {
            try {
                foreach ($value in $written) {
                    if ($saved.ContainsKey($value -join '\')) { Restore-Value $value[0] $value[1] $saved[$value -join '\'] }
                }
                if ($script:systemLetter) {
                    & mountvol.exe "$($script:systemLetter):" /D | Out-Host
                }
            } finally {
                Remove-WorkFolder $work
            }
            foreach ($value in @($written | Where-Object { $saved.ContainsKey($_ -join '\') })) {
                $now = Get-Value $value[0] $value[1]
                ($now | ConvertTo-Json -Compress) | Should -BeExactly ($saved[$value -join '\'] | ConvertTo-Json -Compress) `
                    -Because "$($value[1]) is put back as it was"
            }
            if ($script:systemLetter) {
                @(Get-LettersInUse) | Should -Not -Contain $script:systemLetter -Because "the system volume's letter is removed"
            }
        }
    }

    It "Windows' own volume" {
        if ($why) { Set-ItResult -Skipped -Because $why }
        Assert-Refused $windows "Windows runs from $($windows):; can't free it"
    }

    It 'each volume with a page file in use now' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $inUse = @()
        if ($existingPageFiles) { $inUse = @($existingPageFiles.Data) }
        $letters = @(Get-PageFileLetters $inUse)
        Write-Host "Page files in use: $($inUse -join ', '); letters tried: $($letters -join ', ')"
        # Windows' own alone repeats the case before, and nothing at all
        # would pass having tried nothing.
        Get-PageFileProblem $inUse $windows | Should -BeExactly ''
        foreach ($inUseLetter in $letters) {
            Assert-Refused $inUseLetter (Get-PageFileLine $inUseLetter)
        }
    }

    It 'the virtual disk, where the registry has <Name>' -ForEach $registryRows {
        if ($why) { Set-ItResult -Skipped -Because $why }
        try {
            if (-not (Test-Path -LiteralPath $keys.crash)) { New-Item -Path $keys.crash | Out-Null }
            foreach ($value in $Values) {
                $data = @($value.Data | ForEach-Object { "$_" -f $letter, $letter.ToLowerInvariant(), $windows })
                if ($value.Type -eq 'MultiString') { $data = [string[]] $data } else { $data = $data[0] }
                if ($value.Type -eq 'DWord') { $data = [int] $data }
                Set-ItemProperty -LiteralPath $keys[$value.Key] -Name $value.Name -Value $data -Type $value.Type
            }
            if ($Refused) {
                Assert-Refused $letter "$Refused $($letter):; can't free it"
            } else {
                $to = Select-First @(Get-FreeLetters) 'no letter from D to Z is free'
                $preview = Invoke-Vacate $work $Vacate @('/whatif', $letter)
                $preview.Output | Should -BeExactly "Would move $($letter): to $($to):`r`n"
                $preview.Status | Should -Be 0
            }
        } finally {
            foreach ($value in $Values) { Restore-Value $value.Key $value.Name $saved["$($value.Key)\$($value.Name)"] }
        }
    }

    It 'the system volume, given a letter if it has none' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $system = Select-First @(Get-CimInstance Win32_Volume -Filter 'SystemVolume = TRUE') 'Win32_Volume names no system volume'
        $boot = @(Get-CimInstance Win32_Volume -Filter 'BootVolume = TRUE')
        $own = $boot.Count -gt 0 -and $boot[0].DeviceID -eq $system.DeviceID
        $own | Should -BeFalse -Because ("the system volume is Windows' own ($($windows):): this machine boots from " +
            "the volume it runs from, and cannot show the system volume refused apart from Windows' own")
        if ($system.DriveLetter) {
            $systemVolumeLetter = $system.DriveLetter.Substring(0, 1).ToUpperInvariant()
        } else {
            $script:systemLetter = @(Get-FreeLetters)[-1]
            $how = Mount-SystemVolume $script:systemLetter $system.DeviceID
            Write-Host "The system volume is at $($script:systemLetter): by mountvol $how"
            Wait-Letter $script:systemLetter
            $systemVolumeLetter = $script:systemLetter
        }
        Assert-Refused $systemVolumeLetter "Windows boots from $($systemVolumeLetter):; can't free it"
    }

    It 'the virtual disk, named nowhere: /whatif says where it would go, and leaves it' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $to = Select-First @(Get-FreeLetters) 'no letter from D to Z is free'
        $preview = Invoke-Vacate $work $Vacate @('/whatif', $letter)
        $preview.Output | Should -BeExactly "Would move $($letter): to $($to):`r`n"
        $preview.Status | Should -Be 0
        Get-VolumeName $letter | Should -Not -BeNullOrEmpty
    }

    It 'the virtual disk, named nowhere: /v moves it and says where' {
        if ($why) { Set-ItResult -Skipped -Because $why }
        $to = Select-First @(Get-FreeLetters) 'no letter from D to Z is free'
        $moved = Invoke-Vacate $work $Vacate @('/v', $letter)
        $moved.Output | Should -BeExactly "Moved $($letter): to $($to):`r`n"
        $moved.Status | Should -Be 0
        Get-VolumeName $to | Should -Not -BeNullOrEmpty
    }
}
