// The Web Serial port code against a stand-in SerialPort, under Node.
import { test } from 'node:test';
import { load } from '../src/vostrel.js';
import { portCases } from './port_cases.js';

const v = await load();
for (const [name, run] of Object.entries(portCases)) test(name, () => run(v));
