// peer/ as the package a page imports: its exports resolve by name to the same
// modules as the relative paths, and nothing else of the folder is reachable.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

const manifest = JSON.parse(readFileSync(new URL('../package.json', import.meta.url), 'utf8'));
const { name } = manifest;

test('the package is an ES module package named in its manifest', () => {
  assert.equal(name, 'py-engine-rust-ui-peer');
  assert.equal(manifest.type, 'module');
  assert.deepEqual(Object.keys(manifest.exports), ['.', './peer.js', './protocol.js', './market.js']);
});

for (const [specifier, path, exports] of [
  [name, '../peer.js', ['ErrorCode', 'RemoteError', 'UiPeer']],
  [`${name}/peer.js`, '../peer.js', ['ErrorCode', 'RemoteError', 'UiPeer']],
  [`${name}/protocol.js`, '../protocol.js', ['FnId', 'FrameKind', 'decodeFrame', 'encodeFrame', 'encodeVecF64']],
  [`${name}/market.js`, '../market.js', ['Market', 'SNAPSHOT_FIELDS']],
]) {
  test(`${specifier} is ${path.slice(3)}, the very module`, async () => {
    const byName = await import(specifier);
    const byPath = await import(path);
    assert.equal(byName, byPath);
    for (const key of exports) assert.ok(key in byName, `${specifier} exports ${key}`);
  });
}

for (const hidden of ['app.js', 'node-peer.mjs', 'test/vectors.json']) {
  test(`${name}/${hidden} is not exported`, async () => {
    await assert.rejects(import(`${name}/${hidden}`), { code: 'ERR_PACKAGE_PATH_NOT_EXPORTED' });
  });
}
