<#
.SYNOPSIS
Parses PowerShell with PowerShell's own parser, and refuses what Windows
PowerShell 5.1 cannot run.

.DESCRIPTION
Every .ps1 and .psm1 file given is parsed with Parser.ParseFile, and every
```powershell block of every Markdown file given with Parser.ParseInput (a
block indented under a list item loses its indentation). A parse error fails
the file, and so does any node of PowerShell 7's own syntax: a pipeline chain
(&& or || between commands), a ternary (? :), ?? or ??=, and ?. or ?[]. Each
finding names the file, the line and the node. Before the files, the checker
is shown inputs that it must refuse, so that one that passes everything fails
here instead. Ends with 1 when any file failed. tools/lint runs it where
PowerShell 7 is installed.

.EXAMPLE
pwsh -File tools/Lint-PowerShell.ps1 tests/windows/VacateTest.psm1 README.md
#>
param([Parameter(ValueFromRemainingArguments = $true)] [string[]] $Paths)
Set-StrictMode -Version 3
$ErrorActionPreference = 'Stop'
$parser = [System.Management.Automation.Language.Parser]

# What each PowerShell 7 node is, in the words a reader would search for.
function Get-NewSyntax($Node) {
    switch ($Node.GetType().Name) {
        'PipelineChainAst' { return '&& or || between commands' }
        'TernaryExpressionAst' { return '? : (a ternary)' }
        'BinaryExpressionAst' { if ("$($Node.Operator)" -eq 'QuestionQuestion') { return '??' } }
        'AssignmentStatementAst' { if ("$($Node.Operator)" -eq 'QuestionQuestionEquals') { return '??=' } }
        'MemberExpressionAst' { if ($Node.PSObject.Properties['NullConditional'] -and $Node.NullConditional) { return '?.' } }
        'IndexExpressionAst' { if ($Node.PSObject.Properties['NullConditional'] -and $Node.NullConditional) { return '?[]' } }
    }
    return $null
}

# The findings of one text, `First` being the file's line it starts on.
function Get-Findings([string] $Text, [string] $Path, [int] $First = 1) {
    $tokens = $null
    $errors = $null
    $ast = $parser::ParseInput($Text, $Path, [ref] $tokens, [ref] $errors)
    foreach ($parseError in $errors) {
        "$($Path):$($parseError.Extent.StartLineNumber + $First - 1): cannot parse this: $($parseError.Message)"
    }
    foreach ($node in $ast.FindAll({ param($n) $null -ne (Get-NewSyntax $n) }, $true)) {
        $line = $node.Extent.StartLineNumber + $First - 1
        "$($Path):$($line): $(Get-NewSyntax $node) ($($node.GetType().Name)), PowerShell 7 only: " +
            $node.Extent.Text.Split("`n")[0]
    }
}

# The ```powershell blocks of a Markdown file, read as the tests read them.
Import-Module (Join-Path $PSScriptRoot '..\tests\windows\VacateTest.psm1') -Force
function Get-MarkdownFindings([string] $Path) {
    foreach ($block in @(Get-MarkdownBlocks $Path | Where-Object Language -eq 'powershell')) {
        Get-Findings $block.Text $Path ($block.Line + 1)
    }
}

function Get-FileFindings([string] $Path) {
    if ($Path.EndsWith('.md')) { return Get-MarkdownFindings $Path }
    return Get-Findings ([IO.File]::ReadAllText($Path)) $Path
}

$refused = @(
    @{ Text = "git status && echo ok"; Node = 'PipelineChainAst' },
    @{ Text = "`$a = `$b ?? 1"; Node = 'BinaryExpressionAst' },
    @{ Text = "`$a ??= 1"; Node = 'AssignmentStatementAst' },
    @{ Text = "`$a = `$b ? 1 : 2"; Node = 'TernaryExpressionAst' },
    @{ Text = "`${a}?.Length"; Node = 'MemberExpressionAst' },
    @{ Text = "if (`$a -eq 1 {"; Node = 'cannot parse' }
)
$refusedMarkdown = Join-Path ([IO.Path]::GetTempPath()) "refused-$PID.md"
foreach ($case in $refused) {
    $found = @(Get-Findings $case.Text 'refused.ps1')
    Set-Content -LiteralPath $refusedMarkdown -Value "text`n`n  ``````powershell`n  $($case.Text)`n  ``````"
    $markdown = @(Get-MarkdownFindings $refusedMarkdown)
    Remove-Item -LiteralPath $refusedMarkdown
    if ($found.Count -eq 0 -or $found[0] -notlike "*$($case.Node)*" -or $markdown.Count -eq 0 -or
        $markdown[0] -notlike "$($refusedMarkdown):4:*") {
        Write-Host "Lint-PowerShell: the checker passed $($case.Text); it cannot be trusted"
        exit 2
    }
}

$failed = 0
foreach ($path in $Paths) {
    $findings = @(Get-FileFindings $path)
    $findings | ForEach-Object { Write-Host $_ }
    if ($findings.Count -gt 0) {
        $failed++
        Write-Host "FAIL  $path"
    } else {
        Write-Host "ok    $path"
    }
}
if ($failed -gt 0) { exit 1 }
exit 0
