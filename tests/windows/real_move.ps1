<#
.SYNOPSIS
Moves a real volume with vacate and checks its messages and exit status.

.DESCRIPTION
Makes a small virtual disk (VHD) with diskpart, formats it NTFS, gives it the
highest free drive letter and writes a file on it. Then
it runs vacate through cmd.exe, as a script would, and checks the exit status
($LASTEXITCODE) and every byte of standard output against the messages in the
README:

- the move: status 0, silent, the volume at the lowest free letter from D (as
  this script works it out from the drive list), the file readable there and
  the old letter free;
- a move with an exclude list, and one with /v, which names that letter;
- a preview (/whatif), which names that letter and leaves the volume where
  it is, and an option after the drive, refused;
- the README's own commands that give a volume without a letter its letter
  back, read from README.md and run through cmd.exe and PowerShell after the
  volume's letter has been taken away with mountvol /D;
- a letter that is already free, a subst letter (no volume to move), a drive
  argument that is not a letter, Windows' own volume, the usage text for no
  argument and for too many, and the requests for help with the options.

Whatever happens, the virtual disk is detached and deleted and the subst
removed. Ends with status 0 when every check passed, 1 naming the checks that
failed, and 2 when it cannot run here.

Needs Windows 10 or 11 and an elevated PowerShell (Windows PowerShell 5.1 or
PowerShell 7): "Run as administrator". The real-volume job runs it on the
Visual Studio build's vacate.exe from Windows PowerShell 5.1, and on the one
in the zip from PowerShell 7.

.EXAMPLE
.\tests\windows\real_move.ps1 -Vacate .\build\msvc\Release\vacate.exe
#>
[CmdletBinding()]
param(
    # The vacate.exe to check.
    [Parameter(Mandatory = $true)]
    [string] $Vacate,
    # The README whose recovery commands are run.
    [string] $Readme = (Join-Path $PSScriptRoot '..\..\README.md')
)

Set-StrictMode -Version 3
$ErrorActionPreference = 'Stop'
# PowerShell 7.3 and later can turn a native program's non-zero status into an
# error; here a non-zero status is an answer to check.
$PSNativeCommandUseErrorActionPreference = $false

Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
$why = Get-CannotRunReason 'real_move.ps1' 'makes a virtual disk and moves its drive letter'
if ($why) {
    [Console]::Error.WriteLine($why)
    exit 2
}
$Vacate = (Resolve-Path -LiteralPath $Vacate).ProviderPath
$work = New-WorkFolder 'real-move'
$batch = Join-Path $work 'recover.cmd'
$substLetter = $null

# The first line of the README's block in `Language` under the heading "A
# volume left without a letter": the command after status -2, as a reader
# copies it, with K: and \\?\Volume{...}\ to fill in.
function Get-RecoveryCommand([string] $Language) {
    $inSection = $false
    $inBlock = $false
    foreach ($line in Get-Content -LiteralPath $Readme) {
        if ($inBlock) { return $line }
        if ($line -match '^#+ ') {
            $inSection = $line -eq '### A volume left without a letter'
        } elseif ($inSection -and $line -eq ('```' + $Language)) {
            $inBlock = $true
        }
    }
    throw "$Readme has no $Language block under 'A volume left without a letter'"
}

# Takes the volume's letter away, as a failed restore leaves it, then runs the
# README's command for the shell with the volume's name and letter: cmd.exe
# reads it from a batch file, PowerShell (this one) from a script block.
function Test-Recovery([string] $Shell, [string] $Letter) {
    $volume = Get-VolumeName $Letter
    & mountvol.exe "$($Letter):" /D | Out-Host
    Test-That "$($Letter): taken from the volume, for $Shell" ((Get-LettersInUse) -notcontains $Letter)
    $command = (Get-RecoveryCommand $Shell).Replace('K:', "$($Letter):").Replace('\\?\Volume{...}\', $volume)
    if ($Shell -eq 'cmd') {
        Set-Content -LiteralPath $batch -Value "@$command", '@exit %ERRORLEVEL%' -Encoding Ascii
        & $batch | Out-Host
    } else {
        & ([scriptblock]::Create($command)) | Out-Host
    }
    $status = $LASTEXITCODE
    Wait-Letter $Letter
    Test-That "the README's $Shell command gives $($Letter): back: $command" `
        ($status -eq 0 -and (Get-VolumeName $Letter) -eq $volume) "(status $status)"
}

# Runs vacate and checks its status and its whole output.
function Test-Run([string] $Name, [string[]] $Arguments, [int] $Status, [string] $Output) {
    $run = Invoke-Vacate $work $Vacate $Arguments
    Test-That $Name ($run.Status -eq $Status -and $run.Output -ceq $Output) `
        ("`n      status $($run.Status), expected $Status" +
         "`n      output $(Format-Text $run.Output)`n    expected $(Format-Text $Output)")
}

# Moves the volume from one letter and checks that it went where the search
# rules say: the lowest free letter from D to Z that is not excluded, and that
# with /v it says so. Answers the letter where the volume is now.
function Test-Move([string] $Name, [string] $From, [string[]] $Arguments, [string] $Exclude) {
    $volume = Get-VolumeName $From
    $to = @(Get-FreeLetters $Exclude)[0]
    $said = ''
    if ($Arguments -contains '/v') { $said = "Moved $($From.ToUpperInvariant()): to $($to):`r`n" }
    Test-Run "$Name ($($From): to $($to):)" $Arguments 0 $said
    $arrived = $volume -ne '' -and (Get-VolumeName $to) -eq $volume
    Test-That "the volume is at $($to):" $arrived
    Test-That "its file reads back through $($to):" `
        ((Get-Content -LiteralPath "$($to):\vacate.txt" -Raw -ErrorAction SilentlyContinue) -ceq "$contents`r`n")
    Test-That "$($From): is free" ((Get-LettersInUse) -notcontains $From)
    if ($arrived) { return $to }
    return $From
}

# The program names itself in the usage text as cmd.exe started it.
$usage = "Usage: $Vacate <Drive> [Exclude list]`r`n" +
    "where <Drive> is drive letter to free up and`r`n" +
    "[ExcludeList] is a set of drive letters not to move it to`r`n" +
    "`r`n" +
    "For example:  $Vacate K ABCDEKYZ will free up drive K, avoiding drives A,B,C,D,E,K,Y and Z"
$help = $usage + "`r`n" +
    "/whatif  (before <Drive>) says where the volume would go, and changes nothing`r`n" +
    "/v       (before <Drive>) says where the volume went`r`n"
$contents = 'written before the move ' + [Guid]::NewGuid()

try {
    $letter = New-TestVolume $work
    Set-Content -LiteralPath "$($letter):\vacate.txt" -Value $contents -Encoding Ascii

    $letter = Test-Move 'a move' $letter @($letter) ''
    # The lowest free letter excluded, in lower case, with A to C that change
    # nothing, and the drive named as k: is.
    $exclude = 'abc' + @(Get-FreeLetters)[0].ToLowerInvariant()
    $letter = Test-Move 'a move with an exclude list' $letter @("$($letter.ToLowerInvariant()):", $exclude) $exclude

    $to = @(Get-FreeLetters)[0]
    Test-Run 'a preview' @('/whatif', $letter) 0 "Would move $($letter): to $($to):`r`n"
    Test-That "the preview left the volume at $($letter):" ((Get-VolumeName $letter) -ne '')
    Test-Run 'an option after the drive' @($letter, '/v') -1 `
        "Options go before the drive: /v is not an exclude list`r`n"
    $letter = Test-Move 'a move with /v' $letter @('/v', $letter) ''
    foreach ($shell in 'cmd', 'powershell') {
        Test-Recovery $shell $letter
    }

    $free = @(Get-FreeLetters)[-1]
    Test-Run 'a letter already free' @($free) 0 "Drive $($free): is already free`r`n"

    $substLetter = @(Get-FreeLetters)[-1]
    & subst.exe "$($substLetter):" $work | Out-Host
    if ($LASTEXITCODE -ne 0) { throw "subst $($substLetter): failed" }
    Wait-Letter $substLetter
    Test-Run 'a subst letter' @($substLetter) -1 "Could not get info for $($substLetter):\`r`n"
    Test-That "the subst stays at $($substLetter):" (Test-Path -LiteralPath "$($substLetter):\volume.vhd")

    Test-Run 'not a letter' @('7') -1 "Invalid drive letter: 7`r`n"
    Test-Run 'the usage, without arguments' @() -1 $usage
    Test-Run 'the usage, with an option alone' @('/whatif') -1 $usage
    Test-Run 'the usage, with three arguments' @('K', 'D', 'E') -1 $usage
    Test-Run 'help, whatever follows' @('/?', 'D', 'E') 0 $help
    # Windows' own volume, named in lower case: refused before anything else.
    $windows = $env:SystemDrive.Substring(0, 1)
    Test-Run "Windows' own volume" @($windows.ToLowerInvariant()) -1 `
        "Windows runs from $($windows.ToUpperInvariant()):; can't free it`r`n"
    Test-That "$($windows): is still in use" ((Get-LettersInUse) -contains $windows.ToUpperInvariant())
    foreach ($request in '/?', '-?', '-h', '--help', 'HELP') {
        Test-Run "help: $request" @($request) 0 $help
    }
    Test-Run 'help with an exclude list' @('/?', 'DEF') 0 $help
    Test-That 'the volume has not moved since' ((Get-VolumeName $letter) -ne '')
} catch {
    Test-That 'the run went to its end' $false $_.Exception.Message
} finally {
    # Put the machine back, whatever failed above.
    if ($substLetter) {
        & subst.exe "$($substLetter):" /D | Out-Host
        Test-That "the subst at $($substLetter): is removed" ((Get-LettersInUse) -notcontains $substLetter)
    }
    Remove-TestVolume $work
    Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
}
exit (Complete-Checks)
