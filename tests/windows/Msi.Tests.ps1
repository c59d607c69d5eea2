<#
.SYNOPSIS
Installs, upgrades and removes vacate's MSI as Windows Installer does, and
checks what each step leaves.

.DESCRIPTION
Runs a table of msiexec steps, each waiting for msiexec's status, as
docs/fleet.md tells administrators to: the MSI installed, the same again, the
next version over it, the earlier over the later (1603: the downgrade
refused), /x with the earlier version's file (1605), /x by the ProductCode
found from the UpgradeCode. After each step: which versions of vacate's
UpgradeCode are installed, one entry in Programs and Features while one is,
the machine's Path kept (below), the folder in it once while installed, and
a process started with the Path as the registry now holds it finding
`vacate /?` exactly while installed; after the last, the folder gone. Then
the whole table again with msiexec run as SYSTEM by a scheduled task, as
Intune and Configuration Manager run it.

The machine's Path: a runner's is likely REG_SZ (its image writes it through
.NET). Before the first step the suite makes it REG_EXPAND_SZ with an entry
that holds %SystemRoot% unexpanded, so that a step that froze it would show;
after every step the Path must still be REG_EXPAND_SZ with that entry
unexpanded and every other entry as it was. The Path is put back as it was
found, type and all, whatever happens, and so is vacate: uninstalled.

Last, docs/fleet.md's own blocks, read from the guide and run for real: its
install block makes the first install, the next version goes over it, then
on a virtual disk's letter Intune's detection and remediation and
Configuration Manager's discovery and remediation run as SYSTEM in 32-bit
Windows PowerShell (as both engines run them by default): Intune's
detection fails while the letter is in use, its remediation moves the
volume and ends with 0, and detection then passes; the volume is put back
with vacate /to, Configuration Manager's discovery prints vacate's line
with 0, its remediation moves the volume without throwing, and discovery
then prints Compliant. Then the guide's version block names the installed
exe, and its uninstall block removes every version.

Needs Windows 10 or 11 or Windows Server without vacate installed, and an
elevated PowerShell. Off Windows, or not elevated, every case is skipped,
saying why.

.EXAMPLE
Invoke-Pester -Container (New-PesterContainer -Path tests\windows\Msi.Tests.ps1 -Data @{ Msi = '.\vacate-1.0.0-win64.msi'; NextMsi = '.\next-version-1.0.1.msi' })
#>
param(
    # The MSI to check.
    [string] $Msi = '',
    # The same MSI under the next version.
    [string] $NextMsi = ''
)
$PSNativeCommandUseErrorActionPreference = $false

BeforeDiscovery {
    # Each step, what msiexec is given, the status it must end with, and which
    # version is installed after it ('' for none).
    $steps = @(
        @{ Step = 'install'; Action = '/i'; Package = 'this'; Status = 0; Installed = 'this' },
        @{ Step = 'the same again'; Action = '/i'; Package = 'this'; Status = 0; Installed = 'this' },
        @{ Step = 'the next version over it'; Action = '/i'; Package = 'next'; Status = 0; Installed = 'next' },
        @{ Step = 'the earlier version over the later: refused'; Action = '/i'; Package = 'this'; Status = 1603; Installed = 'next' },
        @{ Step = "/x with the earlier version's file"; Action = '/x'; Package = 'this'; Status = 1605; Installed = 'next' },
        @{ Step = '/x by ProductCode'; Action = '/x'; Package = 'installed'; Status = 0; Installed = '' }
    )
    $runners = @(@{ As = 'me' }, @{ As = 'SYSTEM' })
}

Describe "vacate's MSI" {
    BeforeAll {
        Set-StrictMode -Version 3
        $ErrorActionPreference = 'Stop'
        Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
        $why = Get-CannotRunReason 'Msi.Tests.ps1' 'installs vacate for the whole machine and removes it again'
        $work = $null
        $found = $null
        $script:number = 0
        if ($why) { return }
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
        # The products installed under vacate's UpgradeCode, by Count and
        # Item as Windows Installer documents its StringList: how
        # docs/fleet.md finds what to uninstall.
        function Get-Installed {
            $products = Invoke-Com $installer 'RelatedProducts' 'GetProperty' @($upgradeCode)
            $count = Invoke-Com $products 'Count' 'GetProperty'
            for ($i = 0; $i -lt $count; $i++) {
                $product = Invoke-Com $products 'Item' 'GetProperty' @($i)
                [pscustomobject] @{
                    Code = $product
                    Version = Invoke-Com $installer 'ProductInfo' 'GetProperty' @($product, 'VersionString')
                }
            }
        }
        # Whether a new cmd.exe whose Path is the machine's, as the registry
        # holds it now, finds vacate: this process's own Path is the one it
        # started with.
        function Test-FoundOnPath {
            $start = New-Object Diagnostics.ProcessStartInfo $env:ComSpec, '/d /c vacate /?'
            $start.UseShellExecute = $false
            $start.RedirectStandardOutput = $true
            $start.RedirectStandardError = $true
            $start.EnvironmentVariables['Path'] = [Environment]::ExpandEnvironmentVariables((Get-MachinePath).Value)
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

        $upgradeCode = Get-MsiProperty $Msi 'UpgradeCode'
        $versions = @{ this = (Get-MsiProperty $Msi 'ProductVersion'); next = (Get-MsiProperty $NextMsi 'ProductVersion') }
        $packages = @{ this = $Msi; next = $NextMsi }
        $folder = Join-Path $env:ProgramFiles 'vacate'
        if (@(Get-Installed).Count -gt 0) { throw 'vacate is installed already: uninstall it first' }
        $work = New-WorkFolder 'msi'

        # The Path as found, put back in AfterAll; then expandable, with an
        # entry that only an expandable Path keeps as it is.
        $found = Get-MachinePath
        $unexpanded = '%SystemRoot%\vacate-test-unexpanded'
        Set-MachinePath 'ExpandString' ((@($found.Entries) + $unexpanded) -join ';')
        $before = Get-MachinePath
    }

    AfterAll {
        if ($found) {
            try {
                foreach ($left in @(Get-Installed)) {
                    Start-Process msiexec.exe -ArgumentList "/x $($left.Code) /qn /norestart" -Wait | Out-Null
                }
            } finally {
                Set-MachinePath $found.Kind $found.Value
            }
            $now = Get-MachinePath
            "$($now.Kind) $($now.Value)" | Should -BeExactly "$($found.Kind) $($found.Value)" `
                -Because "the machine's Path is put back as it was found"
        }
        Remove-WorkFolder $work
    }

    Context 'msiexec as <As>' -ForEach $runners {
        Context '<Step>, msiexec as <As>' -ForEach $steps {
            BeforeAll {
                if ($why) { return }
                $script:number++
                $log = Join-Path $work "$As-$script:number.log"
                $target = $packages[$Package]
                if ($Package -eq 'installed') {
                    $target = (@(Get-Installed | ForEach-Object { $_.Code }) -join ' ')
                }
                $arguments = Get-MsiexecArguments $Action $target $log
                $ended = Invoke-Msiexec $As $arguments $work "msiexec-$As-$script:number"
                $expected = ''
                if ($Installed) { $expected = $versions[$Installed] }
                $listed = [int] ($Installed -ne '')
            }

            It 'ends with status <Status>' {
                if ($why) { Set-ItResult -Skipped -Because $why }
                Test-MsiexecStatus $ended $Status | Should -BeTrue -Because "msiexec $arguments ended with $ended (log $log)"
            }

            It "leaves vacate's UpgradeCode with the version expected" {
                if ($why) { Set-ItResult -Skipped -Because $why }
                (@(Get-Installed | ForEach-Object { $_.Version }) -join ' ') | Should -BeExactly $expected
            }

            It 'lists it in Programs and Features once while installed, and never otherwise' {
                if ($why) { Set-ItResult -Skipped -Because $why }
                @(Get-UninstallEntries).Count | Should -Be $listed
            }

            It "keeps the machine's Path expandable, its %SystemRoot% entry unexpanded, its other entries as they were" {
                if ($why) { Set-ItResult -Skipped -Because $why }
                $problems = @(Get-PathProblems $before (Get-MachinePath) $folder $listed $unexpanded |
                    Where-Object { $_ -notlike "$folder is there*" })
                ($problems -join '; ') | Should -BeExactly ''
            }

            It 'has the folder in the Path once while installed, and never otherwise' {
                if ($why) { Set-ItResult -Skipped -Because $why }
                $problems = @(Get-PathProblems $before (Get-MachinePath) $folder $listed $unexpanded |
                    Where-Object { $_ -like "$folder is there*" })
                ($problems -join '; ') | Should -BeExactly ''
            }

            It 'lets a new process find vacate on the Path exactly while installed' {
                if ($why) { Set-ItResult -Skipped -Because $why }
                Test-FoundOnPath | Should -Be ($listed -eq 1)
            }
        }

        It 'leaves no folder behind, msiexec as <As>' {
            if ($why) { Set-ItResult -Skipped -Because $why }
            Test-Path -LiteralPath $folder | Should -BeFalse
        }
    }

    Context "the guide's own blocks, after an upgrade" {
        BeforeAll {
            $script:letter = $null
            if ($why) { return }
            $guide = Join-Path $PSScriptRoot '..\..\docs\fleet.md'
            # The guide's own install, in the folder where it expects the MSI
            # under the name it gives; then the next version over it.
            $installBlock = Get-MarkdownBlock $guide "### Wait for msiexec's status" 'powershell'
            if ($installBlock -notmatch '(vacate-[0-9.]+-win64\.msi)') { throw "the install block names no MSI: $installBlock" }
            Copy-Item -LiteralPath $Msi -Destination (Join-Path $work $Matches[1])
            Set-Content -LiteralPath (Join-Path $work 'install.ps1') -Encoding Ascii -Value $installBlock
            Push-Location $work
            try {
                $installed = "$(& (Join-Path $work 'install.ps1'))".Trim()
            } finally {
                Pop-Location
            }
            if (-not (Test-MsiexecStatus ([int] $installed) 0)) { throw "the guide's install block said $installed" }
            $upgraded = Invoke-Msiexec 'me' (Get-MsiexecArguments '/i' $NextMsi (Join-Path $work 'guide.log')) $work 'guide'
            if (-not (Test-MsiexecStatus $upgraded 0)) { throw "msiexec /i $NextMsi ended with $upgraded" }
            $script:letter = New-TestVolume $work
            $script:volume = Get-VolumeName $script:letter
            # As Intune and Configuration Manager run them unless told
            # otherwise: SYSTEM, 32-bit.
            $powershell32 = Join-Path $env:SystemRoot 'SysWOW64\WindowsPowerShell\v1.0\powershell.exe'
            $blocks = @{
                detection = @('### Intune remediations', 0); remediation = @('### Intune remediations', 1)
                discovery = @('### Configuration Manager configuration items', 0)
                'cm-remediation' = @('### Configuration Manager configuration items', 1)
            }
            $script:runs = 0
            # Each script names the disk's first letter, the one the engines
            # keep free.
            function Invoke-GuideScript([string] $Name) {
                $script:runs++
                $file = Join-Path $work "$Name-$script:runs.ps1"
                $text = Get-MarkdownBlock $guide $blocks[$Name][0] 'powershell' $blocks[$Name][1]
                Set-Content -LiteralPath $file -Encoding Ascii -Value (Set-SnippetLetter $text $script:named 'ABC')
                $run = Start-Program -Work $work -Name "$Name-$script:runs" -As 'SYSTEM' -Program $powershell32 `
                    -Arguments @('-NoProfile', '-ExecutionPolicy', 'Bypass', '-File', ('"' + $file + '"'))
                try {
                    return Wait-Program $run 120
                } finally {
                    Remove-Program $run
                }
            }
            $script:named = $script:letter
            # A script that moves the volume from its letter, and must end with
            # 0 and say where it went.
            function Assert-GuideMove([string] $Name) {
                $to = Select-First @(Get-FreeLetters 'ABC') 'no letter from D to Z is free'
                $ran = Invoke-GuideScript $Name
                if ((Get-VolumeName $to) -eq $script:volume) { $script:letter = $to }
                $ran.Status | Should -Be 0 -Because "$($ran.Why) $($ran.Output) $($ran.Errors)"
                $ran.Output | Should -BeExactly "Moved $($script:named): to $($to):`r`n"
                Get-VolumeName $to | Should -BeExactly $script:volume
            }
            $installedVacate = Join-Path $env:ProgramFiles 'vacate\vacate.exe'
        }

        AfterAll {
            # Whatever happened, and whether or not the volume arrived.
            if ($work) { Remove-TestVolume $work }
        }

        It "Intune's detection fails while the letter is in use" {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $ran = Invoke-GuideScript 'detection'
            $ran.Status | Should -Be 1 -Because "$($ran.Why) $($ran.Output)"
            $ran.Output | Should -BeLike "Would move $($script:named): to *"
        }

        It "Intune's remediation moves the volume and ends with 0" {
            if ($why) { Set-ItResult -Skipped -Because $why }
            Assert-GuideMove 'remediation'
        }

        It "Intune's detection passes once the letter is free" {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $ran = Invoke-GuideScript 'detection'
            $ran.Status | Should -Be 0 -Because "$($ran.Why) $($ran.Output)"
        }

        It "Configuration Manager's discovery says what vacate would do, with 0, while the letter is in use" {
            if ($why) { Set-ItResult -Skipped -Because $why }
            # The volume back at its letter, by the vacate installed.
            & $installedVacate "/to:$($script:named)" $script:letter | Out-Host
            if ((Get-VolumeName $script:named) -eq $script:volume) { $script:letter = $script:named }
            $script:letter | Should -BeExactly $script:named -Because 'vacate /to put the volume back'
            $ran = Invoke-GuideScript 'discovery'
            $ran.Status | Should -Be 0 -Because "$($ran.Why) $($ran.Output)"
            $ran.Output | Should -BeLike "Would move $($script:named): to *:`r`n"
        }

        It "Configuration Manager's remediation moves the volume, and does not throw" {
            if ($why) { Set-ItResult -Skipped -Because $why }
            Assert-GuideMove 'cm-remediation'
        }

        It "Configuration Manager's discovery says Compliant once the letter is free" {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $ran = Invoke-GuideScript 'discovery'
            $ran.Status | Should -Be 0 -Because "$($ran.Why) $($ran.Output)"
            $ran.Output | Should -BeExactly "Compliant`r`n"
        }

        It "the guide's version block names the exe that the upgrade left" {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $block = Join-Path $work 'version.ps1'
            Set-Content -LiteralPath $block -Encoding Ascii -Value (Get-MarkdownBlock $guide '## Which version is installed' 'powershell')
            $said = @(& $block)
            $exe = (Get-Item -LiteralPath $installedVacate).VersionInfo
            $said | Should -Be @("vacate $($exe.ProductVersion)", $exe.FileVersion)
        }

        It "the guide's uninstall block removes every version" {
            if ($why) { Set-ItResult -Skipped -Because $why }
            $block = Join-Path $work 'uninstall.ps1'
            Set-Content -LiteralPath $block -Encoding Ascii -Value (Get-MarkdownBlock $guide '### Uninstall by ProductCode' 'powershell')
            $said = @(& $block)
            $said | Should -HaveCount 1 -Because 'the upgrade left one version'
            $said[0] | Should -BeLike "vacate $($versions.next) (*): msiexec ended with 0"
            @(Get-Installed) | Should -HaveCount 0
        }
    }
}
