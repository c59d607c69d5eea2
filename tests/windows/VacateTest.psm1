<#
.SYNOPSIS
What the scripts of tests/windows share.

.DESCRIPTION
Whether a script can run here; its checks and their verdict; the drive
letters as vacate sees them; a virtual disk (VHD) with a volume on it;
vacate run through cmd.exe, as a script runs it; and any program run as this
user, as SYSTEM or as a local user through a scheduled task, with its
output, errors and status read back from files, as Intune and Configuration
Manager run programs. Everything it makes, it also removes.

Windows PowerShell 5.1 and PowerShell 7.
#>

Set-StrictMode -Version 3
# A module does not see its caller's preferences: what fails here stops the
# script, and a native program's status is an answer, not an error.
$ErrorActionPreference = 'Stop'
$PSNativeCommandUseErrorActionPreference = $false

# Why the script cannot run here, or $null: each needs Windows, and an
# elevated PowerShell for what `Needs` says it does.
function Get-CannotRunReason([string] $Script, [string] $Needs) {
    if ([Environment]::OSVersion.Platform -ne [PlatformID]::Win32NT) {
        return "$Script runs only on Windows."
    }
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal $identity
    if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
        return "$Script $Needs, which needs administrator rights: run it from a PowerShell " +
            'started with "Run as administrator".'
    }
    return $null
}

# The checks, counted and named, and the verdict over them.
$script:Checks = 0
$script:Failed = New-Object System.Collections.Generic.List[string]

function Test-That([string] $Name, [bool] $Passed, [string] $Detail = '') {
    $script:Checks++
    if ($Passed) {
        Write-Host "ok    $Name"
    } else {
        Write-Host "FAIL  $Name $Detail"
        $script:Failed.Add($Name)
    }
}

# Prints the verdict, and answers the status the script ends with: 0 when
# every check passed, 1 when any failed.
function Complete-Checks {
    if ($script:Failed.Count -gt 0) {
        Write-Host "$($script:Failed.Count) of $($script:Checks) checks failed:"
        $script:Failed | ForEach-Object { Write-Host "  $_" }
        return 1
    }
    Write-Host "All $($script:Checks) checks passed."
    return 0
}

function Format-Text([string] $Text) {
    return '"' + ($Text -replace "`r", '\r' -replace "`n", '\n') + '"'
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

# The letters from D to Z that are free and not excluded, lowest first.
function Get-FreeLetters([string] $Exclude = '') {
    $inUse = @(Get-LettersInUse)
    foreach ($code in ([int][char]'D')..([int][char]'Z')) {
        $letter = [string][char]$code
        if ($inUse -notcontains $letter -and -not $Exclude.ToUpperInvariant().Contains($letter)) {
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
        try {
            Invoke-Diskpart $Work @("select vdisk file=`"$vhd`"", 'detach vdisk')
        } catch {
            Test-That 'the virtual disk is detached' $false $_.Exception.Message
        }
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

# Starts a program with its arguments as this user ('me'), as 'SYSTEM', or as
# the local user `As` with `Password`, the latter two through a scheduled
# task, as deployment engines run programs. A batch file in `Work` runs it,
# and leaves its standard output, standard error and status in files there,
# which Wait-Program reads back. `Name` names the files and the task.
function Start-Program {
    param(
        [string] $Work, [string] $Name, [string] $Program, [string[]] $Arguments = @(),
        [string] $As = 'me', [string] $Password = '')
    $run = [pscustomobject] @{
        Name = $Name
        Task = ''
        Batch = Join-Path $Work "$Name.cmd"
        Output = Join-Path $Work "$Name.out"
        Errors = Join-Path $Work "$Name.err"
        Status = Join-Path $Work "$Name.status"
        Started = [DateTime]::UtcNow
    }
    $line = '@"' + $Program + '"'
    foreach ($argument in $Arguments) { $line += ' ' + $argument }
    # The status goes to a file of its own name only once it is whole.
    Set-Content -LiteralPath $run.Batch -Encoding Ascii -Value @(
        ($line + ' >"' + $run.Output + '" 2>"' + $run.Errors + '"'),
        ('@>"' + $run.Status + '.part" echo %ERRORLEVEL%'),
        ('@move /y "' + $run.Status + '.part" "' + $run.Status + '" >nul'))
    if ($As -eq 'me') {
        Start-Process -FilePath $env:ComSpec -ArgumentList '/d', '/c', ('"' + $run.Batch + '"') `
            -WindowStyle Hidden | Out-Null
        return $run
    }
    $run.Task = 'vacate-test-' + $Name + '-' + [Guid]::NewGuid().ToString('N').Substring(0, 8)
    $action = New-ScheduledTaskAction -Execute $env:ComSpec -Argument ('/d /c "' + $run.Batch + '"')
    $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries `
        -ExecutionTimeLimit (New-TimeSpan -Minutes 15)
    if ($As -eq 'SYSTEM') {
        $principal = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest
        Register-ScheduledTask -TaskName $run.Task -Action $action -Principal $principal `
            -Settings $settings | Out-Null
    } else {
        Register-ScheduledTask -TaskName $run.Task -Action $action -User $As -Password $Password `
            -RunLevel Limited -Settings $settings | Out-Null
    }
    Start-ScheduledTask -TaskName $run.Task
    return $run
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

# Waits until the run's standard error (or output) holds `Text`, or the run
# has ended, `Seconds` at most. Answers the seconds since the start when the
# text came, or -1.
function Wait-Text($Run, [string] $Text, [int] $Seconds = 60, [switch] $Output) {
    $file = $Run.Errors
    if ($Output) { $file = $Run.Output }
    $until = [DateTime]::UtcNow.AddSeconds($Seconds)
    while ([DateTime]::UtcNow -lt $until) {
        if ((Read-Text $file).Contains($Text)) {
            return ([DateTime]::UtcNow - $Run.Started).TotalSeconds
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
        Seconds = ([DateTime]::UtcNow - $Run.Started).TotalSeconds
    }
}

function Remove-Program($Run) {
    if ($Run.Task -ne '') {
        Stop-ScheduledTask -TaskName $Run.Task -ErrorAction SilentlyContinue
        Unregister-ScheduledTask -TaskName $Run.Task -Confirm:$false -ErrorAction SilentlyContinue
    }
}

# A standard local user for a test, who may run a scheduled task (as a
# member of Performance Log Users, which Windows lets log on as a batch job)
# and write in `Work`. Remove-TestUser removes it and its profile.
function New-TestUser([string] $Work) {
    $name = 'vacatetest' + (Get-Random -Minimum 100000 -Maximum 999999)
    $password = 'Vt-' + [Guid]::NewGuid().ToString('N').Substring(0, 16) + '-9a'
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

Export-ModuleMember -Function *-*
