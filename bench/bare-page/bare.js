// The bundled page without its UI: protocol.js + peer.js + market.js and nothing else, so that the
// benchmarks can tell what the page's display costs. Serve the repository root (or bench/ and peer/ side
// by side) from 127.0.0.1 and open /bench/bare-page/?engine=ws://127.0.0.1:PORT&seed=N, the query
// parameters an environment adds to any page it launches.

import { Market } from '../../peer/market.js';
import { UiPeer } from '../../peer/peer.js';

const params = new URLSearchParams(location.search);
const engineUrl = params.get('engine') || 'ws://127.0.0.1:8765';
const seed = Number.parseInt(params.get('seed') ?? '1', 10) || 1;
const RETRY_MS = 1000;

const market = new Market({ seed });
const peer = new UiPeer({ handlers: market.handlers() });

// Reconnects for as long as the page is open, as the bundled page does.
for (;;) {
  try {
    await peer.connect(engineUrl);
    await peer.closed;
  } catch {
    // not listening yet, or refused: try again
  }
  await new Promise((r) => setTimeout(r, RETRY_MS));
}
