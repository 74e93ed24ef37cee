'use strict';
// What a package's READMEs claim, checked against the package. The C library
// versions its Linux binaries ask for: the README names the newest. The
// JavaScript examples, checked as an app developer would use them: each ```js block becomes a file of an installed app (an ES
// module when it imports or awaits at its top level, else CommonJS), all are
// type-checked by `tsc --strict` against the installed typings, and each
// complete one (it needs nothing from the text around it) can be run.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const byVersion = (a, b) => {
  const [x, y] = [a, b].map((v) => v.split('.').map(Number));
  for (let i = 0; i < Math.max(x.length, y.length); i++) {
    if ((x[i] || 0) !== (y[i] || 0)) return (x[i] || 0) - (y[i] || 0);
  }
  return 0;
};

// The newest GLIBC_ symbol version `binary` asks for, e.g. "2.30".
function newestGlibc(binary) {
  const table = execFileSync('objdump', ['-T', binary], { encoding: 'utf8' });
  const versions = [...new Set([...table.matchAll(/GLIBC_([0-9.]+)/g)].map((m) => m[1]))];
  return versions.sort(byVersion).at(-1);
}

// The versions a README names as "no C library symbol newer than GLIBC_x".
function glibcClaims(readme) {
  const text = fs.readFileSync(readme, 'utf8').replace(/\s+/g, ' ');
  return [...text.matchAll(/no C library symbol newer than GLIBC_(\d+(?:\.\d+)*)/g)].map((m) => m[1]);
}

// The ```js blocks of `readme`, each with a name that says where it stands.
function examples(readme, prefix) {
  const text = fs.readFileSync(readme, 'utf8');
  const blocks = [];
  const fence = /^```js\n([\s\S]*?)^```$/gm;
  let match;
  while ((match = fence.exec(text)) !== null) {
    const code = match[1];
    const line = text.slice(0, match.index).split('\n').length;
    const esm = /^import\s/m.test(code) || /^\S.*\bawait\b/m.test(code);
    blocks.push({ name: `${prefix}-line${line}`, code, esm, file: `${prefix}-line${line}.${esm ? 'mjs' : 'js'}` });
  }
  return blocks;
}

// Writes the examples into `dir` with a tsconfig that checks them strictly;
// `context` declares, for fragments, the names the README's text gives them
// (e.g. `mic`). Returns the examples, each marked `complete` when it uses none
// of those names.
function writeExamples(dir, readmes, { context = {} } = {}) {
  fs.mkdirSync(dir, { recursive: true });
  const all = [];
  for (const [readme, prefix] of readmes) {
    for (const example of examples(readme, prefix)) {
      fs.writeFileSync(path.join(dir, example.file), example.code);
      const used = Object.keys(context).filter((name) =>
        new RegExp(`\\b${name}\\b`).test(example.code) &&
        !new RegExp(`\\b(const|let|var|function|class)\\s+${name}\\b|\\(${name}[,)]`).test(example.code));
      all.push({ ...example, complete: used.length === 0 });
    }
  }
  const declarations = Object.entries(context).map(([name, type]) => `  const ${name}: ${type};`).join('\n');
  fs.writeFileSync(path.join(dir, 'context.d.ts'), `export {};\ndeclare global {\n${declarations}\n}\n`);
  fs.writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify({
    compilerOptions: { strict: true, allowJs: true, checkJs: true, noEmit: true, module: 'nodenext',
                       moduleResolution: 'nodenext', moduleDetection: 'force', target: 'es2022', types: ['node'] },
    files: ['context.d.ts', ...all.map((e) => e.file)],
  }, null, 2));
  return all;
}

module.exports = { examples, writeExamples, newestGlibc, glibcClaims };
