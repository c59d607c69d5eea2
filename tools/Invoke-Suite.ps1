<#
.SYNOPSIS
Runs one Pester suite of tests/windows and judges it as CI does.

.DESCRIPTION
Imports the Pester that tools/bootstrap put in build/powershell (Windows
PowerShell 5.1 has an old Pester 3 of its own, which must not answer), runs
the suite with the data given, writes its cases as JUnit XML to Results,
prints the counts, and adds them to the job's step summary when
GITHUB_STEP_SUMMARY names one. Ends with 0 only when the suite did what
Expect says, and at least one case ran:

- Passed (the default, for the module's suite anywhere and for every suite on
  a Windows runner): every case passed. A skipped case fails the step: on a
  runner, a skip means a case that proved nothing.
- Skipped (for the Windows suites off Windows): every case was skipped, for
  the reason Because.

With Totals ('P passed, F failed, S skipped'), the run must give exactly
those counts instead: for every suite of a folder run in one session, as
Invoke-Pester runs them, against the sum of their runs one by one.

Windows PowerShell 5.1 and PowerShell 7.

.EXAMPLE
tools\Invoke-Suite.ps1 -Suite tests\windows\RealMove.Tests.ps1 -Data @{ Vacate = 'vacate.exe' } -Results results\real-move.xml
#>
param(
    [Parameter(Mandatory = $true)]
    [string] $Suite,
    [hashtable] $Data = @{},
    [string] $Results = '',
    [ValidateSet('Passed', 'Skipped')]
    [string] $Expect = 'Passed',
    [string] $Because = '',
    [string] $Totals = ''
)
Set-StrictMode -Version 3
$ErrorActionPreference = 'Stop'

$packages = Join-Path (Join-Path $PSScriptRoot '..') 'build\powershell\packages\pester'
$versions = @(Get-ChildItem -LiteralPath $packages -Directory -ErrorAction SilentlyContinue)
if ($versions.Count -ne 1) {
    throw "no one Pester in $($packages): run tools/bootstrap pester (or powershell) first"
}
Get-Module Pester | Remove-Module -Force
Import-Module (Join-Path $versions[0].FullName 'tools\Pester.psd1') -Force

$configuration = New-PesterConfiguration
$configuration.Run.Container = New-PesterContainer -Path $Suite -Data $Data
$configuration.Run.PassThru = $true
$configuration.Output.Verbosity = 'Detailed'
if ($Results) {
    $Results = $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($Results)
    New-Item -ItemType Directory -Force -Path (Split-Path -Parent $Results) | Out-Null
    $configuration.TestResult.Enabled = $true
    $configuration.TestResult.OutputFormat = 'JUnitXml'
    $configuration.TestResult.OutputPath = $Results
}
$run = Invoke-Pester -Configuration $configuration

$shell = "PowerShell $($PSVersionTable.PSVersion)"
if ($PSVersionTable.PSEdition -eq 'Desktop') { $shell = "Windows PowerShell $($PSVersionTable.PSVersion)" }
$name = Split-Path -Leaf $Suite
$counts = "$($run.TotalCount) cases: $($run.PassedCount) passed, $($run.FailedCount) failed, " +
    "$($run.SkippedCount) skipped, $($run.NotRunCount) not run"
$wrong = @()
if ($run.TotalCount -eq 0) { $wrong += 'it has no case' }
if ($run.FailedCount -gt 0 -or $run.FailedBlocksCount -gt 0 -or $run.FailedContainersCount -gt 0) {
    $wrong += 'cases, setups or clean-ups failed'
}
$together = "$($run.PassedCount) passed, $($run.FailedCount) failed, $($run.SkippedCount) skipped"
if ($Totals -and $together -ne $Totals) {
    $wrong += "one session gives $together, where the suites one by one gave $Totals"
}
if (-not $Totals -and $Expect -eq 'Passed' -and $run.PassedCount -ne $run.TotalCount) {
    $wrong += 'every case must pass: a skipped case proved nothing'
}
if (-not $Totals -and $Expect -eq 'Skipped') {
    $unexplained = @($run.Tests | Where-Object {
            $_.Result -ne 'Skipped' -or "$($_.ErrorRecord)" -notlike "*because $Because"
        })
    if ($unexplained.Count -gt 0) {
        $wrong += "every case must be skipped because $Because; $($unexplained[0].ExpandedName) was not"
    }
}
$verdict = 'as expected'
if ($wrong.Count -gt 0) { $verdict = 'FAILED: ' + ($wrong -join '; ') }
$line = "$name under $($shell): $counts; $verdict"
Write-Host "Invoke-Suite: $line"
if ($env:GITHUB_STEP_SUMMARY) {
    Add-Content -LiteralPath $env:GITHUB_STEP_SUMMARY -Value "- $line" -Encoding UTF8
}
if ($wrong.Count -gt 0) { exit 1 }
exit 0
