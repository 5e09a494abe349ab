// The local server through the official `openai` client. Arguments: the
// folder the package is installed in, the base URL, the key, the program's log.
'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const [pkg, baseURL, apiKey, logFile] = process.argv.slice(2);
const openai = require(path.join(pkg, 'node_modules', 'openai'));
const OpenAI = openai.OpenAI || openai.default;
const client = new OpenAI({ baseURL, apiKey, maxRetries: 0, timeout: 60000 });
const hi = [{ role: 'user', content: 'Hi' }];

const run = require('./run-case.cjs');

// The log lines of finished requests, waited for a bounded while.
async function logLine(pattern) {
  for (let i = 0; i < 200; ++i) {
    const line = fs.readFileSync(logFile, 'utf8').split('\n').find((l) => pattern.test(l));
    if (line) return line;
    await new Promise((r) => setTimeout(r, 50));
  }
  return null;
}

(async () => {
  await run('models.list()', async () => {
    const ids = [];
    for await (const model of client.models.list())
      ids.push(`${model.id}:${model.architecture.input_modalities.join('+')}`);
    assert.deepEqual(ids.sort(), ['hello:text', 'noise:text', 'sea:text', 'seeing:text+image', 'tooled:text']);
  });

  let whole = null;
  await run('a chat completion has the script\'s text', async () => {
    const reply = await client.chat.completions.create({ model: 'hello', messages: hi });
    whole = reply.choices[0].message.content;
    assert.equal(whole.trim(), 'Hello there');
    assert.equal(reply.choices[0].finish_reason, 'stop');
    assert.equal(reply.usage.completion_tokens, 2);
  });

  await run('a streamed one joins to the same text, with usage', async () => {
    const stream = await client.chat.completions.create({
      model: 'hello', messages: hi, stream: true, stream_options: { include_usage: true },
    });
    let text = '';
    let usage = null;
    let pieces = 0;
    for await (const chunk of stream) {
      if (chunk.usage) usage = chunk.usage;
      const delta = chunk.choices[0] && chunk.choices[0].delta;
      if (delta && delta.content) { text += delta.content; ++pieces; }
    }
    assert.equal(text, whole);
    assert.ok(pieces >= 1, `${pieces} pieces`);
    assert.equal(usage.completion_tokens, 2);
    assert.equal(usage.total_tokens, usage.prompt_tokens + 2);
  });

  await run('an abort mid-stream stops the generation', async () => {
    const limit = 3000;
    const controller = new AbortController();
    const stream = await client.chat.completions.create(
      { model: 'sea', messages: hi, stream: true, max_tokens: limit }, { signal: controller.signal });
    let pieces = 0;
    try {
      for await (const chunk of stream) {
        const delta = chunk.choices[0] && chunk.choices[0].delta;
        // Events that came in the same read as the third still follow it
        // out of the client's buffer: the loop ends here, not at the abort.
        if (delta && delta.content && ++pieces === 3) {
          controller.abort();
          break;
        }
      }
    } catch (error) {
      // The client ends the stream quietly or with an abort error.
      if (!(error instanceof OpenAI.APIUserAbortError) && error.name !== 'AbortError') throw error;
    }
    assert.equal(pieces, 3);
    const line = await logLine(/API: POST \/v1\/chat\/completions 200, model sea,/);
    assert.ok(line, 'no log line for the aborted request');
    const completion = Number(/(\d+) completion tokens/.exec(line)[1]);
    assert.ok(completion >= 3 && completion < limit, line);
    const next = await client.chat.completions.create({ model: 'hello', messages: hi });
    assert.equal(next.choices[0].message.content, whole);
  });

  // A PNG of one pixel.
  const png = 'data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==';
  const look = (url) => [{ role: 'user', content: [
    { type: 'text', text: 'What is in it?' }, { type: 'image_url', image_url: { url } }] }];

  await run('an image in a data URI is seen by a model with a projector', async () => {
    const reply = await client.chat.completions.create({ model: 'seeing', messages: look(png), max_tokens: 4 });
    assert.equal(typeof reply.choices[0].message.content, 'string');
    assert.ok(reply.usage.completion_tokens >= 1, JSON.stringify(reply.usage));
    assert.ok(await logLine(/Encoded an image of \d+ positions/), 'no encode in the log');
  });

  await run('a wrong key gets an authentication error', async () => {
    const wrong = new OpenAI({ baseURL, apiKey: 'not-the-key', maxRetries: 0 });
    await assert.rejects(wrong.models.list(), OpenAI.AuthenticationError);
  });
})();
