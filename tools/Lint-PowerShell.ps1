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

# The ```powershell blocks of a Markdown text, each with the line it starts on.
function Get-MarkdownFindings([string] $Text, [string] $Path) {
    $lines = $Text -split "`r?`n"
    $block = $null
    for ($i = 0; $i -lt $lines.Count; $i++) {
        if ($lines[$i] -notmatch '^( *)```(\w*)\s*$') { continue }
        if ($null -eq $block) {
            $block = @{ Indent = $Matches[1].Length; Language = $Matches[2]; Start = $i }
        } elseif ($Matches[2] -eq '') {
            if ($block.Language -eq 'powershell') {
                $indent = $block.Indent
                $body = @($lines[($block.Start + 1)..($i - 1)] | ForEach-Object {
                        if ($_.Length -ge $indent) { $_.Substring($indent) } else { $_.TrimStart() }
                    })
                if ($i -eq $block.Start + 1) { $body = @() }
                Get-Findings ($body -join "`n") $Path ($block.Start + 2)
            }
            $block = $null
        }
    }
}

function Get-FileFindings([string] $Path) {
    $text = [IO.File]::ReadAllText($Path)
    if ($Path.EndsWith('.md')) { return Get-MarkdownFindings $text $Path }
    return Get-Findings $text $Path
}

$refused = @(
    @{ Text = "git status && echo ok"; Node = 'PipelineChainAst' },
    @{ Text = "`$a = `$b ?? 1"; Node = 'BinaryExpressionAst' },
    @{ Text = "`$a ??= 1"; Node = 'AssignmentStatementAst' },
    @{ Text = "`$a = `$b ? 1 : 2"; Node = 'TernaryExpressionAst' },
    @{ Text = "`${a}?.Length"; Node = 'MemberExpressionAst' },
    @{ Text = "if (`$a -eq 1 {"; Node = 'cannot parse' }
)
foreach ($case in $refused) {
    $found = @(Get-Findings $case.Text 'refused.ps1')
    $markdown = @(Get-MarkdownFindings ("text`n`n  ``````powershell`n  $($case.Text)`n  ``````") 'refused.md')
    if ($found.Count -eq 0 -or $found[0] -notlike "*$($case.Node)*" -or $markdown.Count -eq 0 -or
        $markdown[0] -notlike 'refused.md:4:*') {
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
