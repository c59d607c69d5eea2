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
| each volume with a page file in use (ExistingPageFiles) | Windows keeps a page file on D:; can't free it (or the line above, for Windows' own) |
| a virtual disk (VHD) named in PagingFiles for the next start | Windows keeps a page file on X:; can't free it |
| the system volume (EFI or System Reserved), given a letter for the test | Windows boots from S:; can't free it |

PagingFiles gets its value back, and the system volume loses the letter it
was given, whatever happens. Then the VHD, named nowhere: /whatif says where
it would go and leaves it, and /v moves it and says where. Ends with status
0 when every check passed, 1 naming the checks that failed, and 2 when it
cannot run here. The real-volume job runs it on the vacate.exe of the zip,
from PowerShell 7.

Needs Windows 10 or 11 or Windows Server and an elevated PowerShell (Windows
PowerShell 5.1 or PowerShell 7).

.EXAMPLE
.\tests\windows\refusals.ps1 -Vacate .\vacate.exe
#>
[CmdletBinding()]
param(
    # The vacate.exe to check.
    [Parameter(Mandatory = $true)]
    [string] $Vacate
)

Set-StrictMode -Version 3
$ErrorActionPreference = 'Stop'
$PSNativeCommandUseErrorActionPreference = $false

Import-Module (Join-Path $PSScriptRoot 'VacateTest.psm1') -Force
$why = Get-CannotRunReason 'refusals.ps1' 'changes the page files and the system volume letter of the machine'
if ($why) {
    [Console]::Error.WriteLine($why)
    exit 2
}
$Vacate = (Resolve-Path -LiteralPath $Vacate).ProviderPath
$work = New-WorkFolder 'refusals'
$memory = 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager\Memory Management'

# The preview first; the run for real only when the preview refused, and
# then it must refuse alike.
function Test-Refused([string] $Name, [string] $Letter, [string] $Line) {
    $expected = "$Line`r`n"
    $preview = Invoke-Vacate $work $Vacate @('/whatif', $Letter)
    $refused = $preview.Status -eq -1 -and $preview.Output -ceq $expected
    Test-That "$($Name): /whatif $Letter refuses" $refused `
        "(status $($preview.Status), output $(Format-Text $preview.Output), expected $(Format-Text $expected))"
    if (-not $refused) {
        Test-That "$($Name): not run for real, since the preview did not refuse" $false
        return
    }
    $run = Invoke-Vacate $work $Vacate @($Letter)
    Test-That "$($Name): $Letter refuses" ($run.Status -eq -1 -and $run.Output -ceq $expected) `
        "(status $($run.Status), output $(Format-Text $run.Output))"
    Test-That "$($Name): $($Letter): still in use" ((Get-LettersInUse) -contains $Letter)
}

# What a drive letter holding Windows' own or a page file is refused with.
$windows = $env:SystemDrive.Substring(0, 1).ToUpperInvariant()
function Get-PageFileLine([string] $Letter) {
    if ($Letter -eq $windows) { return "Windows runs from $($windows):; can't free it" }
    return "Windows keeps a page file on $($Letter):; can't free it"
}

$pagingFiles = (Get-Item -LiteralPath $memory).GetValue('PagingFiles', $null)
$configured = @()
if ($null -ne $pagingFiles) { $configured = @($pagingFiles) }
$systemLetter = ''
try {
    Test-Refused "Windows' own volume" $windows "Windows runs from $($windows):; can't free it"

    $inUse = @((Get-Item -LiteralPath $memory).GetValue('ExistingPageFiles', @()))
    Write-Host "Page files in use: $($inUse -join ', ')"
    foreach ($pageFile in $inUse) {
        if ($pageFile -match '^(\\\?\?\\)?([A-Za-z]):') {
            $letter = $Matches[2].ToUpperInvariant()
            Test-Refused "the page file $pageFile" $letter (Get-PageFileLine $letter)
        }
    }

    $letter = New-TestVolume $work
    Set-ItemProperty -LiteralPath $memory -Name 'PagingFiles' -Type MultiString `
        -Value ([string[]] ($configured + "$($letter):\pagefile.sys 0 0"))
    Test-Refused "a page file for the next start on the virtual disk" $letter (Get-PageFileLine $letter)
    Set-ItemProperty -LiteralPath $memory -Name 'PagingFiles' -Value ([string[]] $configured) -Type MultiString

    # The system volume: on UEFI machines mountvol mounts the EFI system
    # partition by itself; elsewhere it is the volume Win32_Volume marks.
    # Where Windows boots from the volume it runs from, that one is refused
    # first as such.
    $system = @(Get-CimInstance Win32_Volume -Filter 'SystemVolume = TRUE')[0]
    if ($system -and $system.DriveLetter) {
        $held = $system.DriveLetter.Substring(0, 1).ToUpperInvariant()
        $line = "Windows boots from $($held):; can't free it"
        if ($held -eq $windows) { $line = "Windows runs from $($held):; can't free it" }
        Test-Refused 'the system volume' $held $line
    } else {
        $systemLetter = @(Get-FreeLetters)[-1]
        if ($env:firmware_type -eq 'UEFI') {
            & mountvol.exe "$($systemLetter):" /S | Out-Host
        } elseif ($system) {
            & mountvol.exe "$($systemLetter):" $system.DeviceID | Out-Host
        } else {
            throw 'Win32_Volume names no system volume'
        }
        if ($LASTEXITCODE -ne 0) { throw "mountvol could not give the system volume $($systemLetter):" }
        Wait-Letter $systemLetter
        Test-Refused 'the system volume' $systemLetter "Windows boots from $($systemLetter):; can't free it"
    }

    # The virtual disk, named nowhere now: a preview leaves it, /v moves it.
    $to = @(Get-FreeLetters)[0]
    $preview = Invoke-Vacate $work $Vacate @('/whatif', $letter)
    Test-That "/whatif $letter says where it would go" `
        ($preview.Status -eq 0 -and $preview.Output -ceq "Would move $($letter): to $($to):`r`n") `
        "(status $($preview.Status), output $(Format-Text $preview.Output))"
    Test-That "the preview left the volume at $($letter):" ((Get-VolumeName $letter) -ne '')
    $moved = Invoke-Vacate $work $Vacate @('/v', $letter)
    Test-That "/v $letter moves it and says where" `
        ($moved.Status -eq 0 -and $moved.Output -ceq "Moved $($letter): to $($to):`r`n") `
        "(status $($moved.Status), output $(Format-Text $moved.Output))"
    Test-That "the volume is at $($to):" ((Get-VolumeName $to) -ne '')
} catch {
    Test-That 'the run went to its end' $false $_.Exception.Message
} finally {
    # Put the machine back, whatever failed above.
    if ($null -eq $pagingFiles) {
        Remove-ItemProperty -LiteralPath $memory -Name 'PagingFiles' -ErrorAction SilentlyContinue
    } else {
        Set-ItemProperty -LiteralPath $memory -Name 'PagingFiles' -Value ([string[]] $configured) -Type MultiString
    }
    $after = (Get-Item -LiteralPath $memory).GetValue('PagingFiles', $null)
    Test-That 'PagingFiles as it was' ((@($after) -join '|') -ceq ($configured -join '|'))
    if ($systemLetter) {
        & mountvol.exe "$($systemLetter):" /D | Out-Host
        Test-That "the system volume's letter $($systemLetter): removed" ((Get-LettersInUse) -notcontains $systemLetter)
    }
    Remove-TestVolume $work
    Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
}
exit (Complete-Checks)
