// The TypeScript declarations: a program using the module type-checks, and
// the wrong uses it marks are refused.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';

test('the declarations type-check a program, and refuse wrong uses', () => {
  const tsc = fileURLToPath(new URL('../node_modules/typescript/bin/tsc', import.meta.url));
  const project = fileURLToPath(new URL('typing/tsconfig.json', import.meta.url));
  try {
    execFileSync(process.execPath, [tsc, '-p', project], { encoding: 'utf8' });
  } catch (e) {
    assert.fail(`tsc: ${e.stdout}${e.stderr}`);
  }
});
