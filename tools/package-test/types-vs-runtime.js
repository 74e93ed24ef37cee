'use strict';
// Compares a package's typings with what it really exports, from CommonJS and
// from an ES module:  node types-vs-runtime.js NAME   (run in an app that has
// NAME and typescript installed). Checks the exported values (the ES default
// export aside), and for each exported class the members of its prototype.
// Prints what differs and exits 1 when anything does.
const fs = require('node:fs');
const path = require('node:path');
const { createRequire } = require('node:module');
const { pathToFileURL } = require('node:url');

const name = process.argv[2];
const app = process.cwd();
const appRequire = createRequire(path.join(app, 'package.json'));
const ts = appRequire('typescript');

function declared(extension) {
  const file = path.join(app, `.types-vs-runtime${extension}`);
  fs.writeFileSync(file, `import * as probe from '${name}';\nexport { probe };\n`);
  try {
    const program = ts.createProgram([file], {
      strict: true, noEmit: true, module: ts.ModuleKind.NodeNext, moduleResolution: ts.ModuleResolutionKind.NodeNext,
      target: ts.ScriptTarget.ES2022, types: ['node'],
    });
    const checker = program.getTypeChecker();
    const source = program.getSourceFile(file);
    const moduleSymbol = checker.getSymbolAtLocation(source.statements[0].moduleSpecifier);
    if (!moduleSymbol) throw new Error(`the typings of ${name} do not resolve from ${extension}`);
    const values = {};
    for (const symbol of checker.getExportsOfModule(moduleSymbol)) {
      const target = symbol.flags & ts.SymbolFlags.Alias ? checker.getAliasedSymbol(symbol) : symbol;
      if (!(target.flags & ts.SymbolFlags.Value) || symbol.name === 'default') continue;
      const members = target.flags & ts.SymbolFlags.Class
        ? checker.getPropertiesOfType(checker.getDeclaredTypeOfSymbol(target)).map((m) => m.name).sort() : null;
      values[symbol.name] = members;
    }
    return values;
  } finally {
    fs.rmSync(file, { force: true });
  }
}

function actual(module) {
  const values = {};
  for (const key of Object.keys(module)) {
    if (key === 'default') continue;
    const value = module[key];
    const isClass = typeof value === 'function' && value.prototype &&
                    Object.getOwnPropertyNames(value.prototype).length > 1;
    values[key] = isClass ? Object.getOwnPropertyNames(value.prototype).filter((m) => m !== 'constructor').sort() : null;
  }
  return values;
}

async function main() {
  const problems = [];
  const compare = (mode, types, runtime) => {
    for (const key of new Set([...Object.keys(types), ...Object.keys(runtime)])) {
      if (!(key in types)) problems.push(`${mode}: ${key} is exported but not declared`);
      else if (!(key in runtime)) problems.push(`${mode}: ${key} is declared but not exported`);
      else if (JSON.stringify(types[key]) !== JSON.stringify(runtime[key])) {
        problems.push(`${mode}: ${key} declares members ${JSON.stringify(types[key])}, has ${JSON.stringify(runtime[key])}`);
      }
    }
  };
  compare('require', declared('.cts'), actual(appRequire(name)));
  // Imported from a file inside the app, so the package resolves as the app's.
  const probe = path.join(app, '.types-vs-runtime-probe.mjs');
  fs.writeFileSync(probe, `export * from '${name}';\n`);
  try {
    compare('import', declared('.mts'), actual(await import(pathToFileURL(probe).href)));
  } finally {
    fs.rmSync(probe, { force: true });
  }
  if (problems.length > 0) {
    console.log(problems.join('\n'));
    process.exit(1);
  }
  console.log('types match the runtime');
}

main();
