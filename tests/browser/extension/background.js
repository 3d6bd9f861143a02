// Plays the real extension against the bridge: sends messages, expects one
// acknowledgement each, takes the texts the desktop application pushes, and
// reports a single verdict line on the console for the test driver to read.
const marker = 'lanternwick-browser-test:';
const messages = [
  { n: 1, text: 'hello' },
  { n: 2, text: 'h\u00e9llo \u2603 \u{1F600}' },
  { n: 3, text: 'x'.repeat(100000) },
];
const expectedPushes = [1, 2];

let acknowledgements = 0;
const pushes = [];
let finished = false;

function finish(verdict, detail) {
  if (finished) return;
  finished = true;
  console.log(`${marker} ${verdict} ${detail}`);
}

const port = chrome.runtime.connectNative('lanternwick.shuttle');

port.onMessage.addListener((message) => {
  if (message.status === 'success' && message.message === 'Message received and processed') {
    acknowledgements += 1;
  } else if (typeof message.push === 'number') {
    pushes.push(message.push);
  } else {
    finish('FAIL', `unexpected message ${JSON.stringify(message)}`);
    return;
  }
  if (acknowledgements > messages.length || pushes.length > expectedPushes.length) {
    finish('FAIL', `too many: ${acknowledgements} acknowledgements, pushes ${JSON.stringify(pushes)}`);
  } else if (acknowledgements === messages.length && pushes.length === expectedPushes.length) {
    if (JSON.stringify(pushes) === JSON.stringify(expectedPushes)) {
      finish('PASS', `${acknowledgements} acknowledgements, pushes ${JSON.stringify(pushes)}`);
    } else {
      finish('FAIL', `pushes out of order: ${JSON.stringify(pushes)}`);
    }
  }
});

port.onDisconnect.addListener(() => {
  const error = chrome.runtime.lastError ? chrome.runtime.lastError.message : 'no error given';
  finish('FAIL', `disconnected early: ${error}`);
});

for (const message of messages) {
  port.postMessage(message);
}
console.log(`${marker} SENT ${messages.length}`);
