# The PowerShell blocks of docs/fleet.md and README.md, read from the Markdown
# itself, never from a copy, and run with what only Windows has stood in for:
# vacate.exe and the drive commands, msiexec and Windows Installer's COM
# object. Each block is a row; one that only Windows or the network can run
# says why it is parsed only (tools/lint parses them all). The stand-ins are
# shell scripts, so this runs where PowerShell 7 runs on Linux: tools/pester
# runs it. On Windows, the real-volume job runs these blocks for real:
#   Msi.Tests.ps1       fleet.md's install (the first install of its guide
#                       context), Intune's detection and remediation and
#                       Configuration Manager's discovery and remediation (as
#                       SYSTEM, 32-bit), "Which version is installed" (after
#                       the upgrade) and the uninstall by ProductCode;
#   RealMove.Tests.ps1  the README's blocks that call vacate (which letter,
#                       without /v, the status, the logon script, in
#                       PowerShell and in cmd) and its recovery commands.
# Nowhere on Windows: fleet.md's "PowerShell remoting" (it needs remote
# machines) and the README's "With Scoop" (Scoop and the network), and of the
# blocks that are not PowerShell, fleet.md's cmd msiexec lines (lint checks
# that they wait), its winget line and its Ansible YAML (YAML-parsed only).
# The README's cmd logon script also runs under Wine (tests/wine).

BeforeDiscovery {
    # Every PowerShell block of both files, by the heading it stands under and
    # its place there; Run names the case that runs it, or why it is parsed only.
    $blocks = @(
        @{ File = 'docs/fleet.md'; Heading = "### Wait for msiexec's status"; Index = 0; Run = 'install' },
        @{ File = 'docs/fleet.md'; Heading = '### Uninstall by ProductCode'; Index = 0; Run = 'uninstall' },
        @{ File = 'docs/fleet.md'; Heading = '## Which version is installed'; Index = 0; Run = 'version' },
        @{ File = 'docs/fleet.md'; Heading = '### Intune remediations'; Index = 0; Run = 'detection' },
        @{ File = 'docs/fleet.md'; Heading = '### Intune remediations'; Index = 1; Run = 'remediation' },
        @{ File = 'docs/fleet.md'; Heading = '### Configuration Manager configuration items'; Index = 0; Run = 'discovery' },
        @{ File = 'docs/fleet.md'; Heading = '### Configuration Manager configuration items'; Index = 1; Run = 'remediation, throwing' },
        @{ File = 'docs/fleet.md'; Heading = '## PowerShell remoting'; Index = 0; Run = 'parsed only: it needs remote machines' },
        @{ File = 'README.md'; Heading = '### With Scoop'; Index = 0; Run = 'parsed only: it needs Scoop and the network' },
        @{ File = 'README.md'; Heading = '### Which letter did it pick, and how do I choose it?'; Index = 0; Run = 'which letter' },
        @{ File = 'README.md'; Heading = '### Which letter did it pick, and how do I choose it?'; Index = 1; Run = 'without /v' },
        @{ File = 'README.md'; Heading = '### In scripts'; Index = 0; Run = 'status' },
        @{ File = 'README.md'; Heading = '### In scripts'; Index = 1; Run = 'logon' },
        @{ File = 'README.md'; Heading = '### A volume left without a letter'; Index = 0; Run = 'recovery' }
    )
}

Describe 'the guides, with Windows stood in for' {
    BeforeAll {
        Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
        $root = Join-Path $PSScriptRoot '..\..'

        function Get-Block([string] $File, [string] $Heading, [int] $Index) {
            return Get-MarkdownBlock (Join-Path $root $File) $Heading 'powershell' $Index
        }

        # Runs a block as a script of its own, as an engine runs one: in a fresh
        # process $LASTEXITCODE is empty, and errors do not stop it. Answers its
        # status and what it wrote.
        function Invoke-Snippet([string] $Text, [string] $Name) {
            $file = Join-Path $TestDrive "$Name.ps1"
            Set-Content -LiteralPath $file -Value $Text
            $global:LASTEXITCODE = $null
            $ErrorActionPreference = 'Continue'
            $output = @(& $file 2>&1 3>&1 | ForEach-Object { "$_" })
            return [pscustomobject] @{ Status = $global:LASTEXITCODE; Output = $output }
        }

        # What a snippet printed, or what it threw, as "throws: ...".
        function Get-SnippetOutcome([string] $Text, [string] $Name) {
            try {
                return (Invoke-Snippet $Text $Name).Output
            } catch {
                return @("throws: $_")
            }
        }

        # vacate.exe in the 64-bit Program Files, as a shell script that says what
        # it was told and ends with its status; a 32-bit process's ProgramFiles is
        # the x86 folder, where nothing is.
        $programFiles = Join-Path $TestDrive 'Program Files'
        $vacate = Join-Path $programFiles 'vacate/vacate.exe'
        $arguments = Join-Path $TestDrive 'arguments'
        New-Item -ItemType Directory -Force -Path (Split-Path $vacate), (Join-Path $TestDrive 'Program Files (x86)') | Out-Null
        Set-Content -LiteralPath $vacate -Value @(
            '#!/bin/sh',
            "printf '%s\n' `"`$*`" >'$arguments'",
            'printf "$VACATE_SAYS"',
            'exit "$VACATE_STATUS"')
        & chmod +x $vacate
        function Set-Vacate([string] $Says, [int] $Status) {
            $env:VACATE_SAYS = $Says
            $env:VACATE_STATUS = "$Status"
        }
        $saved = @{ ProgramFiles = $env:ProgramFiles; ProgramW6432 = $env:ProgramW6432 }
        $env:ProgramFiles = Join-Path $TestDrive 'Program Files (x86)'
        $env:ProgramW6432 = $programFiles

        # Windows Installer's object, as PowerShell meets it: no type information,
        # every member reached by name through InvokeMember, RelatedProducts and
        # ProductInfo properties with arguments, and a StringList of Count and
        # Item. C# cannot name two such properties, so the type is emitted.
        if (-not ('FakeWindowsInstaller.Factory' -as [type])) {
            Add-Type -TypeDefinition @'
    using System;
    using System.Collections.Generic;
    using System.Reflection;
    using System.Reflection.Emit;
    namespace FakeWindowsInstaller {
        public class StringList {
            private readonly List<string> items;
            public StringList(IEnumerable<string> items) { this.items = new List<string>(items); }
            public int Count { get { return items.Count; } }
            public string this[int index] { get { return items[index]; } }
        }
        public class InstallerBase {
            public static Dictionary<string, string> Versions = new Dictionary<string, string>();
            public static string UpgradeCode = "";
            public object Related(string upgradeCode) {
                return new StringList(upgradeCode == UpgradeCode ? Versions.Keys : new string[0]);
            }
            public object Info(string product, string attribute) {
                return attribute == "VersionString" ? Versions[product] : null;
            }
        }
        public static class Factory {
            public static object Create() {
                var module = AssemblyBuilder.DefineDynamicAssembly(new AssemblyName("FakeMsi"), AssemblyBuilderAccess.Run)
                    .DefineDynamicModule("FakeMsi");
                var type = module.DefineType("Installer", TypeAttributes.Public, typeof(InstallerBase));
                Property(type, "RelatedProducts", new[] { typeof(string) }, "Related");
                Property(type, "ProductInfo", new[] { typeof(string), typeof(string) }, "Info");
                return Activator.CreateInstance(type.CreateType());
            }
            private static void Property(TypeBuilder type, string name, Type[] arguments, string target) {
                var get = type.DefineMethod("get_" + name,
                    MethodAttributes.Public | MethodAttributes.SpecialName | MethodAttributes.HideBySig,
                    typeof(object), arguments);
                var il = get.GetILGenerator();
                il.Emit(OpCodes.Ldarg_0);
                for (short i = 1; i <= arguments.Length; i++) il.Emit(OpCodes.Ldarg, i);
                il.Emit(OpCodes.Call, typeof(InstallerBase).GetMethod(target));
                il.Emit(OpCodes.Ret);
                type.DefineProperty(name, PropertyAttributes.None, typeof(object), arguments).SetGetMethod(get);
            }
        }
    }
'@
        }
        # Pester mocks only commands that exist: off Windows these do not. Each
        # is a global function, which the suites after this one must not meet.
        $script:stubbed = @()
        foreach ($name in 'vacate', 'mountvol') {
            if (-not (Get-Command $name -ErrorAction Ignore)) {
                Set-Item "function:global:$name" { $null }
                $script:stubbed += $name
            }
        }
        if (-not (Get-Command Get-CimInstance -ErrorAction Ignore)) {
            function global:Get-CimInstance { param($ClassName) }
            $script:stubbed += 'Get-CimInstance'
        }
        # Off Windows, New-Object has no -ComObject to mock.
        if (-not (Get-Command New-Object -CommandType Cmdlet).Parameters.ContainsKey('ComObject')) {
            function global:New-Object { param([string] $ComObject) }
            $script:stubbed += 'New-Object'
        }
    }

    AfterAll {
        $env:ProgramFiles = $saved.ProgramFiles
        $env:ProgramW6432 = $saved.ProgramW6432
        Remove-Item 'Env:\VACATE_SAYS', 'Env:\VACATE_STATUS' -ErrorAction Ignore
        # The function drive knows no scope qualifier: function:global:NAME names
        # nothing, and would leave the stub in place.
        foreach ($name in $script:stubbed) {
            Remove-Item "function:$name" -ErrorAction Ignore
        }
    }


    Describe 'every PowerShell block of the guides' {
        It '<File>, <Heading>, block <Index>: <Run>' -ForEach $blocks {
            $text = Get-Block $File $Heading $Index
            $tokens = $null
            $errors = $null
            [void] [Management.Automation.Language.Parser]::ParseInput($text, [ref] $tokens, [ref] $errors)
            $errors | Should -BeNullOrEmpty
        }

        It 'lists every block of both files' -ForEach @(@{ Listed = $blocks }) {
            foreach ($file in 'docs/fleet.md', 'README.md') {
                $found = @(Get-MarkdownBlocks (Join-Path $root $file) | Where-Object Language -eq 'powershell').Count
                @($Listed | Where-Object { $_.File -eq $file }).Count | Should -Be $found -Because "$file has $found"
            }
        }
    }

    Describe 'the detection script' {
        It '<Says> with <Status>: exits <Exit>' -ForEach @(
            @{ Says = 'Drive K: is already free\n'; Status = 0; Exit = 0 },
            @{ Says = 'Would move K: to F:\n'; Status = 0; Exit = 1 },
            @{ Says = "Windows keeps a page file on K:; can't free it\n"; Status = 255; Exit = 1 },
            @{ Says = 'Would move K: to F:; the move needs an elevated run\n'; Status = 255; Exit = 1 },
            @{ Says = ''; Status = 0; Exit = 1 }
        ) {
            Set-Vacate $Says $Status
            $text = Get-Block 'docs/fleet.md' '### Intune remediations' 0
            $ran = Invoke-Snippet (Set-SnippetLetter $text 'K' 'ABCDEKYZ') 'detection'
            $ran.Status | Should -Be $Exit
            Get-Content -LiteralPath $arguments | Should -BeExactly '/whatif K ABCDEKYZ'
        }
    }

    Describe 'the remediation script, from a 32-bit PowerShell' {
        It 'finds vacate through ProgramW6432, and ends with its status <Status>' -ForEach @(
            @{ Status = 0 }, @{ Status = 255 }, @{ Status = 254 }
        ) {
            Set-Vacate 'Moved Q: to F:\n' $Status
            $text = Get-Block 'docs/fleet.md' '### Intune remediations' 1
            $ran = Invoke-Snippet (Set-SnippetLetter $text 'Q' 'DE') 'remediation'
            $ran.Status | Should -Be $Status
            Get-Content -LiteralPath $arguments | Should -BeExactly '/v Q DE'
        }

        It 'fails with one line when vacate is not installed' {
            $env:ProgramW6432 = Join-Path $TestDrive 'nowhere'
            try {
                $text = Get-Block 'docs/fleet.md' '### Intune remediations' 1
                $ran = Invoke-Snippet $text 'remediation-missing'
            } finally {
                $env:ProgramW6432 = $programFiles
            }
            $ran.Status | Should -Not -Be 0
            $ran.Output | Should -HaveCount 1
            $ran.Output[0] | Should -BeLike 'vacate is not installed: *'
        }
    }

    Describe "Configuration Manager's discovery script" {
        It '<Says> with <Status>: prints <Prints>, and exits 0' -ForEach @(
            @{ Says = 'Drive K: is already free\n'; Status = 0; Prints = 'Compliant' },
            @{ Says = 'Would move K: to F:\n'; Status = 0; Prints = 'Would move K: to F:' },
            @{ Says = "Windows keeps a page file on K:; can't free it\n"; Status = 255; Prints = "Windows keeps a page file on K:; can't free it" },
            @{ Says = 'Would move K: to F:; the move needs an elevated run\n'; Status = 255; Prints = 'Would move K: to F:; the move needs an elevated run' },
            @{ Says = 'Drive K: is already free\n'; Status = 255; Prints = 'Drive K: is already free' },
            @{ Says = ''; Status = 0; Prints = 'vacate said nothing, and ended with 0' }
        ) {
            Set-Vacate $Says $Status
            $text = Get-Block 'docs/fleet.md' '### Configuration Manager configuration items' 0
            $ran = Invoke-Snippet (Set-SnippetLetter $text 'K' 'ABCDEKYZ') 'discovery'
            $ran.Status | Should -Be 0
            $ran.Output | Should -Be @($Prints)
            Get-Content -LiteralPath $arguments | Should -BeExactly '/whatif K ABCDEKYZ'
        }

        It 'says in one line, and with 0, that vacate is not installed' {
            $env:ProgramW6432 = Join-Path $TestDrive 'nowhere'
            try {
                $ran = Invoke-Snippet (Get-Block 'docs/fleet.md' '### Configuration Manager configuration items' 0) 'discovery-missing'
            } finally {
                $env:ProgramW6432 = $programFiles
            }
            $ran.Status | Should -Be 0
            $ran.Output | Should -HaveCount 1
            $ran.Output[0] | Should -BeLike 'vacate is not installed: *'
        }
    }

    Describe "Configuration Manager's remediation script" {
        It 'with status <Status>: <Outcome>' -ForEach @(
            @{ Status = 0; Outcome = 'Moved Q: to F:' },
            @{ Status = 255; Outcome = 'throws: vacate ended with 255: Moved Q: to F:' },
            @{ Status = 254; Outcome = 'throws: vacate ended with 254: Moved Q: to F:' }
        ) {
            Set-Vacate 'Moved Q: to F:\n' $Status
            $text = Set-SnippetLetter (Get-Block 'docs/fleet.md' '### Configuration Manager configuration items' 1) 'Q' 'DE'
            Get-SnippetOutcome $text 'cm-remediation' | Should -Be @($Outcome)
            Get-Content -LiteralPath $arguments | Should -BeExactly '/v Q DE'
        }

        It 'throws when vacate is not installed' {
            $env:ProgramW6432 = Join-Path $TestDrive 'nowhere'
            try {
                { Invoke-Snippet (Get-Block 'docs/fleet.md' '### Configuration Manager configuration items' 1) 'cm-missing' } |
                    Should -Throw 'vacate is not installed: *'
            } finally {
                $env:ProgramW6432 = $programFiles
            }
        }
    }

    Describe "the guide's msiexec blocks" {
        BeforeEach {
            Mock Start-Process { [pscustomobject] @{ ExitCode = 0 } }
        }

        It 'installs the MSI given, waiting for msiexec' {
            Push-Location $TestDrive
            try {
                Set-Content -LiteralPath (Join-Path $TestDrive 'vacate-1.0.0-win64.msi') -Value ''
                $ran = Invoke-Snippet (Get-Block 'docs/fleet.md' "### Wait for msiexec's status" 0) 'install'
            } finally {
                Pop-Location
            }
            $ran.Output | Should -Be @('0')
            Should -Invoke Start-Process -Times 1 -Exactly -ParameterFilter {
                $FilePath -eq 'msiexec.exe' -and $Wait -and $PassThru -and
                $ArgumentList -like '/i "*vacate-1.0.0-win64.msi" /qn /norestart /l`*v vacate-install.log'
            }
        }

        It 'uninstalls every version of the UpgradeCode by its ProductCode, waiting for each' {
            [FakeWindowsInstaller.InstallerBase]::UpgradeCode = '{3D6C1F4A-8E27-4B95-A0D3-7C5E19B2F864}'
            [FakeWindowsInstaller.InstallerBase]::Versions.Clear()
            [FakeWindowsInstaller.InstallerBase]::Versions['{11111111-1111-1111-1111-111111111111}'] = '1.0.1'
            [FakeWindowsInstaller.InstallerBase]::Versions['{22222222-2222-2222-2222-222222222222}'] = '1.0.0'
            Mock New-Object { [FakeWindowsInstaller.Factory]::Create() } -ParameterFilter { $ComObject -eq 'WindowsInstaller.Installer' }
            $ran = Invoke-Snippet (Get-Block 'docs/fleet.md' '### Uninstall by ProductCode' 0) 'uninstall'
            $ran.Output | Should -Be @(
                'vacate 1.0.1 ({11111111-1111-1111-1111-111111111111}): msiexec ended with 0',
                'vacate 1.0.0 ({22222222-2222-2222-2222-222222222222}): msiexec ended with 0')
            foreach ($code in [FakeWindowsInstaller.InstallerBase]::Versions.Keys) {
                Should -Invoke Start-Process -Times 1 -Exactly -ParameterFilter {
                    $FilePath -eq 'msiexec.exe' -and $ArgumentList -eq "/x $code /qn /norestart" -and $Wait
                }
            }
        }
    }

    Describe 'the blocks that say which version is installed' {
        It 'asks vacate, and reads the file version' {
            Set-Vacate 'vacate 1.0.0\n' 0
            Mock Get-Item { [pscustomobject] @{ VersionInfo = [pscustomobject] @{ FileVersion = '1.0.0' } } } `
                -ParameterFilter { $LiteralPath -like '*vacate.exe' }
            $ran = Invoke-Snippet (Get-Block 'docs/fleet.md' '## Which version is installed' 0) 'version'
            $ran.Output | Should -Be @('vacate 1.0.0', '1.0.0')
            Get-Content -LiteralPath $arguments | Should -BeExactly '/version'
        }
    }

    Describe "the README's PowerShell" {
        It 'tells which letter a move with /v took' {
            Mock vacate { $global:LASTEXITCODE = 0; 'Moved Q: to G:' }
            $text = Get-Block 'README.md' '### Which letter did it pick, and how do I choose it?' 0
            $ran = Invoke-Snippet ((Set-SnippetLetter $text 'Q' 'DEF') + "`n`$to") 'which-letter'
            $ran.Output | Should -Be @('G')
            Should -Invoke vacate -Times 1 -Exactly -ParameterFilter { "$args" -eq '/v Q DEF' }
        }

        It 'finds the new letter by the volume name, without /v' {
            Mock mountvol { $global:LASTEXITCODE = 0; '    \\?\Volume{5}\' } -ParameterFilter { "$args" -eq 'Q: /L' }
            Mock vacate { $global:LASTEXITCODE = 0 }
            Mock Get-CimInstance {
                [pscustomobject] @{ DeviceID = '\\?\Volume{4}\'; DriveLetter = 'E:' },
                [pscustomobject] @{ DeviceID = '\\?\Volume{5}\'; DriveLetter = 'G:' }
            } -ParameterFilter { $ClassName -eq 'Win32_Volume' }
            $text = Get-Block 'README.md' '### Which letter did it pick, and how do I choose it?' 1
            $ran = Invoke-Snippet (Set-SnippetLetter $text 'Q' 'DEF') 'without-v'
            $ran.Output | Should -Be @('G:')
            Should -Invoke vacate -Times 1 -Exactly -ParameterFilter { "$args" -eq 'Q DEF' }
        }

        It 'warns of a status that is not 0' {
            Mock vacate { $global:LASTEXITCODE = -1 }
            $text = Get-Block 'README.md' '### In scripts' 0
            $ran = Invoke-Snippet (Set-SnippetLetter $text 'Q' 'DEF') 'status'
            $ran.Output | Should -Be @('vacate failed: -1')
        }

        It 'a logon script with /to: <Says> with <Status> gives <Expected>' -ForEach @(
            @{ Says = 'Moved Q: to M:'; Status = 0; Expected = 'Moved Q: to M:' },
            @{ Says = 'Drive Q: is already free'; Status = 0; Expected = 'Q: was free already' },
            @{ Says = 'Target drive M: is already in use'; Status = -1; Expected = 'throws: vacate failed with -1: Target drive M: is already in use' }
        ) {
            Mock vacate { $global:LASTEXITCODE = $Status; $Says }
            $text = Set-SnippetLetter (Get-Block 'README.md' '### In scripts' 1) 'Q' 'M'
            Get-SnippetOutcome $text 'logon' | Should -Be @($Expected)
            Should -Invoke vacate -Times 1 -Exactly -ParameterFilter { "$args" -eq '/v /to:M Q' }
        }

        It "gives mountvol the volume's name whole" {
            Mock mountvol { $global:LASTEXITCODE = 0 }
            $null = Invoke-Snippet (Get-Block 'README.md' '### A volume left without a letter' 0) 'recovery'
            Should -Invoke mountvol -Times 1 -Exactly -ParameterFilter { $args[0] -eq 'K:' -and $args[1] -eq '\\?\Volume{...}\' }
        }
    }
}

Describe 'after the guides' {
    It 'leaves no stub of theirs behind, so that the suites after them meet the real commands' {
        foreach ($name in $script:stubbed) {
            Get-Command -CommandType Function -Name $name -ErrorAction Ignore |
                Should -BeNullOrEmpty -Because "the guides stubbed $name"
        }
    }
}
