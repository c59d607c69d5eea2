<#
.SYNOPSIS
What the Pester suites of tests/windows share, apart from Pester's own job.

.DESCRIPTION
Why a suite cannot run here; the drive letters as vacate sees them; a virtual
disk (VHD) with a volume on it; the system volume given a letter; vacate run
through cmd.exe, as a script runs it; any program run as this user, as SYSTEM
or as a local user through a scheduled task, with its output, errors and
status read back from files, as Intune and Configuration Manager run
programs; msiexec's command lines and statuses; the machine's Path as the
registry holds it. Everything it makes, it also removes.

Windows PowerShell 5.1 and PowerShell 7. What does not need Windows is
tested on Linux too, by VacateTest.Tests.ps1.
#>

Set-StrictMode -Version 3
# A module does not see its caller's preferences: what fails here stops the
# suite, and a native program's status is an answer, not an error.
$ErrorActionPreference = 'Stop'
$PSNativeCommandUseErrorActionPreference = $false

# Why a suite cannot run here, or $null: each needs Windows, and an elevated
# PowerShell for what `Needs` says it does.
function Get-CannotRunReason([string] $Suite, [string] $Needs) {
    if ([Environment]::OSVersion.Platform -ne [PlatformID]::Win32NT) {
        return "$Suite runs only on Windows."
    }
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal $identity
    if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
        return "$Suite $Needs, which needs administrator rights: run it from a PowerShell " +
            'started with "Run as administrator".'
    }
    return $null
}

function Format-Text([string] $Text) {
    return '"' + ($Text -replace "`r", '\r' -replace "`n", '\n') + '"'
}

# The first of `Items`, or an error that says what was missing: under
# Set-StrictMode -Version 3, @()[0] is an error that says nothing of it.
function Select-First([object[]] $Items, [string] $Missing) {
    if ($null -eq $Items -or $Items.Count -eq 0) { throw $Missing }
    return $Items[0]
}

# A working folder that SYSTEM and a test's local user can reach too (a
# user's temporary folder is private to that user).
function New-WorkFolder([string] $Name) {
    $work = Join-Path $env:ProgramData ("vacate-$Name-" + [Guid]::NewGuid().ToString('N').Substring(0, 12))
    New-Item -ItemType Directory -Path $work | Out-Null
    return $work
}

# The drive list as vacate sees it: GetLogicalDrives, one capital per letter.
function Get-LettersInUse {
    [Environment]::GetLogicalDrives() | ForEach-Object { $_.Substring(0, 1).ToUpperInvariant() }
}

# The letters from D to Z that are free and not excluded, lowest first, as
# vacate's search takes them.
function Get-FreeLetters([string] $Exclude = '', [string[]] $InUse = @(Get-LettersInUse)) {
    foreach ($code in ([int][char]'D')..([int][char]'Z')) {
        $letter = [string][char]$code
        if ($InUse -notcontains $letter -and -not $Exclude.ToUpperInvariant().Contains($letter)) {
            $letter
        }
    }
}

function Wait-Letter([string] $Letter) {
    for ($tries = 0; $tries -lt 60 -and (Get-LettersInUse) -notcontains $Letter; $tries++) {
        Start-Sleep -Milliseconds 500
    }
}

# The name of the volume mounted at a letter (\\?\Volume{...}\), or ''.
function Get-VolumeName([string] $Letter) {
    $name = ([string] (& mountvol.exe "$($Letter):\" /L)).Trim()
    if ($LASTEXITCODE -ne 0 -or $name -notmatch '^\\\\\?\\Volume\{') { return '' }
    return $name
}

# Gives the system volume (EFI or System Reserved) the letter: `mountvol /S`
# mounts the EFI system partition, on UEFI machines only; elsewhere the
# volume is mounted by its own name (Win32_Volume's DeviceID). Answers which
# way worked.
function Mount-SystemVolume([string] $Letter, [string] $DeviceId) {
    & mountvol.exe "$($Letter):" /S | Out-Host
    if ($LASTEXITCODE -eq 0) { return '/S' }
    if (-not $DeviceId) {
        throw "mountvol $($Letter): /S failed (not UEFI?), and Win32_Volume names no system volume"
    }
    & mountvol.exe "$($Letter):" $DeviceId | Out-Host
    if ($LASTEXITCODE -eq 0) { return 'DeviceID' }
    throw "mountvol could not give the system volume $($Letter):, by /S nor as $DeviceId"
}

function Invoke-Diskpart([string] $Work, [string[]] $Commands) {
    $commandFile = Join-Path $Work 'diskpart.txt'
    Set-Content -LiteralPath $commandFile -Value $Commands -Encoding Ascii
    $output = & diskpart.exe /s $commandFile
    if ($LASTEXITCODE -ne 0) {
        throw "diskpart failed ($LASTEXITCODE): $($output -join [Environment]::NewLine)"
    }
}

# A small VHD in `Work`, formatted NTFS and mounted at the highest free
# letter, which it answers. Remove-TestVolume detaches it.
function New-TestVolume([string] $Work) {
    $letter = @(Get-FreeLetters)[-1]
    $vhd = Join-Path $Work 'volume.vhd'
    Write-Host "A virtual disk at $($letter): in $vhd"
    Invoke-Diskpart $Work @(
        "create vdisk file=`"$vhd`" maximum=32 type=expandable",
        "select vdisk file=`"$vhd`"",
        'attach vdisk',
        'create partition primary',
        'format fs=ntfs label=VACATE quick',
        "assign letter=$letter")
    Wait-Letter $letter
    if ((Get-VolumeName $letter) -eq '') { throw "the virtual disk did not arrive at $($letter):" }
    return $letter
}

function Remove-TestVolume([string] $Work) {
    $vhd = Join-Path $Work 'volume.vhd'
    if (Test-Path -LiteralPath $vhd) {
        Invoke-Diskpart $Work @("select vdisk file=`"$vhd`"", 'detach vdisk')
    }
}

# Detaches the work folder's virtual disk, if it has one, and removes the
# folder, whatever the first did.
function Remove-WorkFolder([string] $Work) {
    if (-not $Work) { return }
    try {
        Remove-TestVolume $Work
    } finally {
        Remove-Item -LiteralPath $Work -Recurse -Force -ErrorAction SilentlyContinue
    }
}

# Runs vacate through cmd.exe, as a script would run it: its exit status comes
# back in Status, and its standard output lands in a file byte for byte, where
# PowerShell 5.1 would re-encode what it captured. The arguments here are
# letters and switches that cmd.exe passes on unchanged.
function Invoke-Vacate([string] $Work, [string] $Vacate, [string[]] $Arguments) {
    $batch = Join-Path $Work 'run.cmd'
    $outputFile = Join-Path $Work 'output.txt'
    $line = '@"' + $Vacate + '"'
    foreach ($argument in $Arguments) { $line += ' ' + $argument }
    $line += ' >"' + $outputFile + '"'
    Set-Content -LiteralPath $batch -Value $line, '@exit %ERRORLEVEL%' -Encoding Ascii
    & $batch | Out-Host
    $status = $LASTEXITCODE
    $bytes = [IO.File]::ReadAllBytes($outputFile)
    return [pscustomobject] @{ Status = $status; Output = [Text.Encoding]::ASCII.GetString($bytes) }
}

# What a shell shows as the status of `Program` run with `Arguments`: cmd's
# %ERRORLEVEL% ('cmd'), or $LASTEXITCODE in Windows PowerShell 5.1
# ('powershell') or PowerShell 7 ('pwsh'), as the shell itself prints it.
# The arguments are letters and switches that each shell passes unchanged.
function Get-ShellStatus([string] $Work, [string] $Shell, [string] $Program, [string[]] $Arguments) {
    if ($Shell -eq 'cmd') {
        $batch = Join-Path $Work 'status.cmd'
        Set-Content -LiteralPath $batch -Encoding Ascii -Value (
            '@"' + $Program + '" ' + ($Arguments -join ' ') + ' >nul'), '@echo %ERRORLEVEL%'
        $shown = & $env:ComSpec /d /c $batch
    } else {
        $command = "& '$Program' $($Arguments -join ' ') | Out-Null; `$LASTEXITCODE"
        $shown = & "$Shell.exe" -NoProfile -NonInteractive -Command $command
    }
    return ("$shown").Trim()
}

# The fenced blocks of a Markdown file, in order: each with the heading it
# stands under, its language, its text (a block indented under a list item
# loses its indentation) and the line it starts on.
function Get-MarkdownBlocks([string] $Path) {
    $lines = @(Get-Content -LiteralPath $Path)
    $heading = ''
    $block = $null
    for ($i = 0; $i -lt $lines.Count; $i++) {
        $line = $lines[$i]
        if ($null -eq $block -and $line -match '^#+ ') {
            $heading = $line
        } elseif ($line -match '^( *)```(\w*)\s*$') {
            if ($null -eq $block) {
                $block = @{ Indent = $Matches[1].Length; Language = $Matches[2]; Start = $i; Body = @() }
            } elseif ($Matches[2] -eq '') {
                [pscustomobject] @{
                    Heading = $heading
                    Language = $block.Language
                    Text = $block.Body -join "`n"
                    Line = $block.Start + 1
                }
                $block = $null
            }
        } elseif ($null -ne $block) {
            $indent = [Math]::Min($block.Indent, $line.Length - $line.TrimStart().Length)
            $block.Body += $line.Substring($indent)
        }
    }
}

# The text of block `Index` (from 0) in `Language` under the heading
# `Heading` of a Markdown file, or an error that says which is missing.
function Get-MarkdownBlock([string] $Path, [string] $Heading, [string] $Language, [int] $Index = 0) {
    $found = @(Get-MarkdownBlocks $Path | Where-Object { $_.Heading -eq $Heading -and $_.Language -eq $Language })
    if ($Index -ge $found.Count) { throw "$Path has no $Language block $Index under '$Heading'" }
    return $found[$Index].Text
}

# The first line of the block in `Language` under the heading `Heading` of a
# Markdown file: a command as a reader copies it.
function Get-MarkdownCommand([string] $Path, [string] $Heading, [string] $Language) {
    return ((Get-MarkdownBlock $Path $Heading $Language) -split "`n")[0]
}

# A guide's snippet with its letter and exclude list (or /to's target) set:
# each names them in one line of its own, `$letter, $exclude = 'K',
# 'ABCDEKYZ'` or `$letter, $target = 'K', 'M'`, which a reader changes and a
# test replaces.
function Set-SnippetLetter([string] $Text, [string] $Letter, [string] $Exclude) {
    $pattern = "(?m)^\`$letter, \`$(exclude|target) = '[^']*', '[^']*'$"
    $found = [regex]::Matches($Text, $pattern).Count
    if ($found -ne 1) { throw "the snippet names its letter and list in $found lines, not one: $Text" }
    return [regex]::Replace($Text, $pattern, "`$letter, `$`$`$1 = '$Letter', '$Exclude'")
}

# A cmd snippet of a guide with its letter and exclude list (or /to's
# target) set: each names them on lines of their own, `set letter=K` and
# `set exclude=ABCDEKYZ` or `set target=M`, which a test replaces.
function Set-CmdSnippetLetter([string] $Text, [string] $Letter, [string] $Second) {
    $letterLine = '(?m)^set letter=[^\r\n]*$'
    $secondLine = '(?m)^set (exclude|target)=[^\r\n]*$'
    foreach ($pattern in $letterLine, $secondLine) {
        $found = [regex]::Matches($Text, $pattern).Count
        if ($found -ne 1) { throw "the cmd snippet has $found lines for $pattern, not one: $Text" }
    }
    $Text = [regex]::Replace($Text, $letterLine, "set letter=$Letter")
    return [regex]::Replace($Text, $secondLine, "set `$1=$Second")
}

# The README's command that gives a volume left without a letter its letter
# back, for cmd or powershell, with the letter and the volume's name filled in.
function Get-RecoveryCommand([string] $Readme, [string] $Shell, [string] $Letter, [string] $Volume) {
    $command = Get-MarkdownCommand $Readme '### A volume left without a letter' $Shell
    return $command.Replace('K:', "$($Letter):").Replace('\\?\Volume{...}\', $Volume)
}

# Registers a task that runs `Batch` through cmd.exe as SYSTEM, or as the
# local user `As` with `Password` (not elevated), as deployment engines run
# programs.
function Register-TestTask([string] $Task, [string] $Batch, [string] $As, [string] $Password) {
    $action = New-ScheduledTaskAction -Execute $env:ComSpec -Argument ('/d /c "' + $Batch + '"')
    $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries `
        -ExecutionTimeLimit (New-TimeSpan -Minutes 15)
    if ($As -eq 'SYSTEM') {
        $principal = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest
        Register-ScheduledTask -TaskName $Task -Action $action -Principal $principal `
            -Settings $settings | Out-Null
    } else {
        Register-ScheduledTask -TaskName $Task -Action $action -User $As -Password $Password `
            -RunLevel Limited -Settings $settings | Out-Null
    }
}

# The files of a run of `Program` in `Work`, named after `Name`: the batch file
# that runs it, its standard output and error, its status once whole, and a
# file that the batch file writes first, whose time is when the run started.
function New-ProgramRun([string] $Work, [string] $Name, [string] $Program, [string[]] $Arguments = @()) {
    $run = [pscustomobject] @{
        Name = $Name
        Task = ''
        Batch = Join-Path $Work "$Name.cmd"
        Started = Join-Path $Work "$Name.started"
        Output = Join-Path $Work "$Name.out"
        Errors = Join-Path $Work "$Name.err"
        Status = Join-Path $Work "$Name.status"
        Asked = [DateTime]::UtcNow
    }
    $line = '@"' + $Program + '"'
    foreach ($argument in $Arguments) { $line += ' ' + $argument }
    # The status goes to a file of its own name only once it is whole.
    Set-Content -LiteralPath $run.Batch -Encoding Ascii -Value @(
        ('@type nul >"' + $run.Started + '"'),
        ($line + ' >"' + $run.Output + '" 2>"' + $run.Errors + '"'),
        ('@>"' + $run.Status + '.part" echo %ERRORLEVEL%'),
        ('@move /y "' + $run.Status + '.part" "' + $run.Status + '" >nul'))
    return $run
}

# Starts a program with its arguments as this user ('me'), as 'SYSTEM', or as
# the local user `As` with `Password`, the latter two through a scheduled
# task. Wait-Program reads back what it left.
function Start-Program {
    param(
        [string] $Work, [string] $Name, [string] $Program, [string[]] $Arguments = @(),
        [string] $As = 'me', [string] $Password = '')
    $run = New-ProgramRun $Work $Name $Program $Arguments
    if ($As -eq 'me') {
        Start-Process -FilePath $env:ComSpec -ArgumentList '/d', '/c', ('"' + $run.Batch + '"') `
            -WindowStyle Hidden | Out-Null
        return $run
    }
    $run.Task = 'vacate-test-' + $Name + '-' + [Guid]::NewGuid().ToString('N').Substring(0, 8)
    Register-TestTask $run.Task $run.Batch $As $Password
    try {
        Start-ScheduledTask -TaskName $run.Task
    } catch {
        # Nobody else knows the task's name yet to take it away.
        Remove-Program $run
        throw
    }
    return $run
}

# Whether a task's principal runs as SYSTEM, elevated: by the names that
# New-ScheduledTaskPrincipal takes, or by the numbers that CIM keeps for
# MSFT_TaskPrincipal2 (TASK_LOGON_SERVICE_ACCOUNT 5, TASK_RUNLEVEL_HIGHEST 1),
# whichever the module's type data shows.
function Test-SystemPrincipal($Principal) {
    return $Principal.UserId -eq 'SYSTEM' -and
        @('ServiceAccount', '5') -contains "$($Principal.LogonType)" -and
        @('Highest', '1') -contains "$($Principal.RunLevel)"
}

# What a file holds so far: the program may still have it open for writing,
# which File.ReadAllBytes would not share.
function Read-Text([string] $Path) {
    if (-not (Test-Path -LiteralPath $Path)) { return '' }
    $stream = [IO.File]::Open($Path, 'Open', 'Read', 'ReadWrite')
    try {
        $bytes = New-Object byte[] $stream.Length
        $read = $stream.Read($bytes, 0, $bytes.Length)
        return [Text.Encoding]::ASCII.GetString($bytes, 0, $read)
    } finally {
        $stream.Dispose()
    }
}

# Seconds from the run's own start to `At`, or $null before it started: a
# task may start long after it was asked to, and a line printed at once must
# not look late.
function Get-RunSeconds($Run, [DateTime] $At = [DateTime]::UtcNow) {
    if (-not (Test-Path -LiteralPath $Run.Started)) { return $null }
    return ($At - (Get-Item -LiteralPath $Run.Started).LastWriteTimeUtc).TotalSeconds
}

# Waits until the run's standard error (or output) holds `Text`, or the run
# has ended, `Seconds` at most. Answers the seconds from the run's start to
# when the text was seen, or -1.
function Wait-Text($Run, [string] $Text, [int] $Seconds = 60, [switch] $Output) {
    $file = $Run.Errors
    if ($Output) { $file = $Run.Output }
    $until = [DateTime]::UtcNow.AddSeconds($Seconds)
    while ([DateTime]::UtcNow -lt $until) {
        if ((Read-Text $file).Contains($Text)) {
            return Get-RunSeconds $Run
        }
        if (Test-Path -LiteralPath $Run.Status) { return -1 }
        Start-Sleep -Milliseconds 100
    }
    return -1
}

# Waits for the run's end, `Seconds` at most, and answers its status (or
# $null, with Why, when it did not end), output and errors. A task that
# could not start says why in its last result.
function Wait-Program($Run, [int] $Seconds = 300) {
    $until = [DateTime]::UtcNow.AddSeconds($Seconds)
    while (-not (Test-Path -LiteralPath $Run.Status) -and [DateTime]::UtcNow -lt $until) {
        Start-Sleep -Milliseconds 200
    }
    $status = $null
    $why = ''
    if (Test-Path -LiteralPath $Run.Status) {
        $status = [int] (Get-Content -LiteralPath $Run.Status -Raw).Trim()
    } elseif ($Run.Task -ne '') {
        $info = Get-ScheduledTaskInfo -TaskName $Run.Task
        $why = "the task did not end in $Seconds s; its last result: 0x{0:X8}" -f $info.LastTaskResult
    } else {
        $why = "it did not end in $Seconds s"
    }
    return [pscustomobject] @{
        Status = $status
        Why = $why
        Output = Read-Text $Run.Output
        Errors = Read-Text $Run.Errors
    }
}

function Remove-Program($Run) {
    if ($Run.Task -ne '') {
        Stop-ScheduledTask -TaskName $Run.Task -ErrorAction SilentlyContinue
        Unregister-ScheduledTask -TaskName $Run.Task -Confirm:$false -ErrorAction SilentlyContinue
    }
}

# What is wrong with how long a holder of the lock's name held it, or '': it
# lets go only once told to (ReleaseAsked), a run that waited on it ends
# after it let go (ReleasedAt), and a run that went on ends while it still
# held (StillHeld, read when the run ended).
function Get-HolderProblem([bool] $Waits, [DateTime] $ReleaseAsked, [DateTime] $ReleasedAt, $RanEndedAt, $StillHeld) {
    if ($ReleasedAt -lt $ReleaseAsked) {
        return "the holder let go at $($ReleasedAt.ToString('o')), before it was told to at $($ReleaseAsked.ToString('o'))"
    }
    if ($Waits -and $null -eq $RanEndedAt) { return 'vacate did not end' }
    if ($Waits -and $RanEndedAt -lt $ReleasedAt) {
        return "vacate ended at $($RanEndedAt.ToString('o')), before the holder let go at $($ReleasedAt.ToString('o'))"
    }
    if (-not $Waits -and -not $StillHeld) { return 'the holder no longer held the name when vacate ended' }
    return ''
}

# The letters of the page files in use, from ExistingPageFiles' entries
# (\??\D:\pagefile.sys), each once, in capitals.
function Get-PageFileLetters([string[]] $Entries) {
    $letters = @()
    foreach ($entry in @($Entries)) {
        if ($entry -match '^(\\\?\?\\)?([A-Za-z]):') {
            $letter = $Matches[2].ToUpperInvariant()
            if ($letters -notcontains $letter) { $letters += $letter }
        }
    }
    return $letters
}

# Why the page files in use cannot show a page file's volume refused apart
# from Windows' own, or '': ExistingPageFiles absent or empty, or naming no
# volume but `Windows`'s. Says which letters it found.
function Get-PageFileProblem([string[]] $Entries, [string] $Windows) {
    $letters = @(Get-PageFileLetters $Entries)
    if (@($letters | Where-Object { $_ -ne $Windows }).Count -gt 0) { return '' }
    $found = 'none'
    if ($letters.Count -gt 0) { $found = $letters -join ', ' }
    return "ExistingPageFiles names no page file's volume but Windows' own ($($Windows):); " +
        "letters found: $found"
}

# A password that meets Windows' complexity rules (upper and lower case, a
# digit, a symbol) in 14 characters: `net user /add` stops to ask "(Y/N)"
# about a longer one, and a runner has no one to answer.
function New-TestPassword {
    $letters = 'abcdefghijkmnopqrstuvwxyz'
    $random = New-Object Random
    $password = 'Vq7-'
    for ($i = 0; $i -lt 10; $i++) { $password += $letters[$random.Next($letters.Length)] }
    return $password
}

# A standard local user for a test, who may run a scheduled task (as a
# member of Performance Log Users, which Windows lets log on as a batch job)
# and write in `Work`. Remove-TestUser removes it and its profile.
function New-TestUser([string] $Work) {
    $name = 'vacatetest' + (Get-Random -Minimum 100000 -Maximum 999999)
    $password = New-TestPassword
    & net.exe user $name $password /add /comment:"made by vacate's tests; removed when they end" | Out-Host
    if ($LASTEXITCODE -ne 0) { throw "net user $name /add failed ($LASTEXITCODE)" }
    $sid = New-Object Security.Principal.SecurityIdentifier 'S-1-5-32-559'
    $group = $sid.Translate([Security.Principal.NTAccount]).Value.Split('\')[-1]
    & net.exe localgroup $group $name /add | Out-Host
    if ($LASTEXITCODE -ne 0) { throw "net localgroup `"$group`" $name /add failed ($LASTEXITCODE)" }
    & icacls.exe $Work /grant "$($name):(OI)(CI)M" | Out-Host
    if ($LASTEXITCODE -ne 0) { throw "icacls could not let $name write in $Work" }
    return [pscustomobject] @{ Name = $name; Password = $password }
}

function Remove-TestUser($User) {
    & net.exe user $User.Name /delete | Out-Host
    Get-CimInstance Win32_UserProfile |
        Where-Object { $_.LocalPath -like "*\$($User.Name)" } |
        Remove-CimInstance -ErrorAction SilentlyContinue
}

# msiexec's arguments for a silent step that leaves a verbose log: `Action`
# is /i or /x, `Target` a package's path or a {ProductCode}.
function Get-MsiexecArguments([string] $Action, [string] $Target, [string] $Log) {
    if ($Target -notmatch '^\{[0-9A-Fa-f-]{36}\}$') { $Target = '"' + $Target + '"' }
    return "$Action $Target /qn /norestart /l*v `"$Log`""
}

# Whether msiexec's status is the one a step expects: 3010 is done too, with
# a restart that Windows would like and the test does not need.
function Test-MsiexecStatus([int] $Status, [int] $Expected) {
    return $Status -eq $Expected -or ($Expected -eq 0 -and $Status -eq 3010)
}

# msiexec as this user, waited for as the guide shows it (Start-Process
# -Wait), or as SYSTEM through a scheduled task, whose batch file waits for
# it. Answers its status.
function Invoke-Msiexec([string] $As, [string] $Arguments, [string] $Work, [string] $Name) {
    if ($As -eq 'me') {
        return (Start-Process msiexec.exe -ArgumentList $Arguments -Wait -PassThru).ExitCode
    }
    $run = Start-Program -Work $Work -Name $Name -As $As `
        -Program (Join-Path $env:SystemRoot 'System32\msiexec.exe') -Arguments @($Arguments)
    try {
        $ended = Wait-Program $run 600
        if ($null -eq $ended.Status) { throw "msiexec as $($As): $($ended.Why)" }
        return $ended.Status
    } finally {
        Remove-Program $run
    }
}

$environmentKey = 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'

# The machine's Path as the registry holds it: its type (ExpandString or
# String), its text unexpanded, and its entries.
function Get-MachinePath {
    $key = Get-Item -LiteralPath $environmentKey
    $value = $key.GetValue('Path', '', 'DoNotExpandEnvironmentNames')
    return New-MachinePath $key.GetValueKind('Path') $value
}

function New-MachinePath([string] $Kind, [string] $Value) {
    return [pscustomobject] @{
        Kind = $Kind
        Value = $Value
        Entries = @($Value -split ';' | Where-Object { $_ -ne '' })
    }
}

function Set-MachinePath([string] $Kind, [string] $Value) {
    Set-ItemProperty -LiteralPath $environmentKey -Name 'Path' -Value $Value -Type $Kind
}

# What an install step did wrong to the machine's Path, from `Before` (as the
# suite set it up) to `After`: its type changed (an expandable Path frozen
# into REG_SZ), the `Unexpanded` entry expanded or gone, another entry
# changed, or `Folder` not there exactly once while installed and never
# otherwise. Answers one line for each, or nothing.
function Get-PathProblems($Before, $After, [string] $Folder, [bool] $Installed, [string] $Unexpanded) {
    if ($After.Kind -ne $Before.Kind) { "the Path was $($Before.Kind) and is $($After.Kind) now" }
    if ($Unexpanded -and $After.Entries -cnotcontains $Unexpanded) {
        "the entry $Unexpanded is no longer there unexpanded"
    }
    $ours = @($After.Entries | Where-Object { $_.TrimEnd('\') -eq $Folder.TrimEnd('\') })
    $others = @($After.Entries | Where-Object { $_.TrimEnd('\') -ne $Folder.TrimEnd('\') })
    if (($others -join ';') -cne ($Before.Entries -join ';')) {
        "the other entries changed: $($others -join ';')"
    }
    $expected = [int] $Installed
    if ($ours.Count -ne $expected) { "$Folder is there $($ours.Count) times, not $expected" }
}

Export-ModuleMember -Function *-*
