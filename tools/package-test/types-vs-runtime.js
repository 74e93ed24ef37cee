'use strict';
// Compares a package's typings with what it really exports, from CommonJS and
// from an ES module:  node types-vs-runtime.js NAME   (run in an app that has
// NAME and typescript installed). Checks the exported values (the ES default
// export aside), and for each exported class the methods and accessors of its
// prototype.
// Prints what differs and exits 1 when anything does.
const fs = require('node:fs');
const path = require('node:path');
const { createRequire } = require('node:module');
const { pathToFileURL } = require('node:url');

const name = process.argv[2];
const app = process.cwd();
const appRequire = createRequire(path.join(app, 'package.json'));
const ts = appRequire('typescript');

// The members a class declares itself (inherited ones aside): its methods,
// and its properties and accessors (instance fields among them).
function classMembers(symbol) {
  const methods = [];
  const properties = [];
  for (const member of symbol.members ? symbol.members.values() : []) {
    if (member.flags & ts.SymbolFlags.Method) methods.push(member.name);
    else if (member.flags & (ts.SymbolFlags.Property | ts.SymbolFlags.Accessor)) properties.push(member.name);
  }
  return { methods: methods.sort(), properties: properties.sort() };
}

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
      values[symbol.name] = target.flags & ts.SymbolFlags.Class ? classMembers(target) : null;
    }
    return values;
  } finally {
    fs.rmSync(file, { force: true });
  }
}

// The same from the class's prototype: its methods and its accessors.
function actual(module) {
  const values = {};
  for (const key of Object.keys(module)) {
    if (key === 'default') continue;
    const value = module[key];
    const names = typeof value === 'function' && value.prototype
      ? Object.getOwnPropertyNames(value.prototype).filter((m) => m !== 'constructor') : [];
    const isClass = names.length > 0 || (typeof value === 'function' && /^class\b/.test(Function.prototype.toString.call(value)));
    if (!isClass) {
      values[key] = null;
      continue;
    }
    const methods = [];
    const accessors = [];
    for (const name of names) {
      const descriptor = Object.getOwnPropertyDescriptor(value.prototype, name);
      (descriptor.get || descriptor.set ? accessors : methods).push(name);
    }
    values[key] = { methods: methods.sort(), accessors: accessors.sort() };
  }
  return values;
}

async function main() {
  const problems = [];
  const compare = (mode, types, runtime) => {
    for (const key of new Set([...Object.keys(types), ...Object.keys(runtime)])) {
      if (!(key in types)) problems.push(`${mode}: ${key} is exported but not declared`);
      else if (!(key in runtime)) problems.push(`${mode}: ${key} is declared but not exported`);
      else if (!types[key] !== !runtime[key]) problems.push(`${mode}: ${key} is declared as ${types[key] ? 'a class' : 'no class'}`);
      else if (types[key]) {
        // Methods match exactly; an accessor must be declared (properties
        // that are not accessors are instance fields, not on the prototype).
        if (JSON.stringify(types[key].methods) !== JSON.stringify(runtime[key].methods)) {
          problems.push(`${mode}: ${key} declares methods ${types[key].methods}, has ${runtime[key].methods}`);
        }
        const undeclared = runtime[key].accessors.filter((a) => !types[key].properties.includes(a));
        if (undeclared.length > 0) problems.push(`${mode}: ${key} has undeclared accessors ${undeclared}`);
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
