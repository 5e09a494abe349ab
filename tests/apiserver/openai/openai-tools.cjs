// Tool calls and structured output through the official `openai` client.
// Arguments: the folders the `openai` and `ajv` packages are installed in,
// the base URL, the key, the program's log.
'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const [pkg, ajvPkg, baseURL, apiKey, logFile] = process.argv.slice(2);
const openai = require(path.join(pkg, 'node_modules', 'openai'));
const OpenAI = openai.OpenAI || openai.default;
const Ajv = require(path.join(ajvPkg, 'node_modules', 'ajv')).default;
const client = new OpenAI({ baseURL, apiKey, maxRetries: 0, timeout: 60000 });

const run = require('./run-case.cjs');

const weather = {
  type: 'function',
  function: {
    name: 'get_weather',
    description: 'Weather of a city',
    parameters: { type: 'object', properties: { city: { type: 'string' } }, required: ['city'] },
  },
};
const question = { role: 'user', content: 'What is the weather in Paris?' };

function assertTheCall(choice) {
  assert.equal(choice.finish_reason, 'tool_calls');
  assert.equal(choice.message.tool_calls.length, 1);
  const call = choice.message.tool_calls[0];
  assert.equal(call.type, 'function');
  assert.match(call.id, /^call_/);
  assert.equal(call.function.name, 'get_weather');
  assert.deepEqual(JSON.parse(call.function.arguments), { city: 'Paris' });
  return call;
}

// JSON as the template's `tojson` writes it, with a space after ':' and ','.
function tojson(value) {
  if (Array.isArray(value)) return `[${value.map(tojson).join(', ')}]`;
  if (value && typeof value === 'object') {
    return `{${Object.entries(value).map(([k, v]) => `${JSON.stringify(k)}: ${tojson(v)}`).join(', ')}}`;
  }
  return JSON.stringify(value);
}

// The last "Prompt: N tokens, K …" line of the program's log.
function lastPromptLine() {
  const lines = fs.readFileSync(logFile, 'utf8').split('\n').filter((l) => /Prompt: \d+ tokens, \d+ /.test(l));
  const [, tokens, kept] = /Prompt: (\d+) tokens, (\d+) /.exec(lines[lines.length - 1]);
  return { tokens: Number(tokens), kept: Number(kept) };
}

// Nested objects, an array of objects, enums and required fields; every
// string and array is bounded, so that a reply of random tokens ends.
const forecast = {
  type: 'object',
  properties: {
    city: { type: 'string', minLength: 1, maxLength: 8 },
    sky: { enum: ['clear', 'cloudy', 'rain'] },
    wind: {
      type: 'object',
      properties: { from: { enum: ['N', 'E', 'S', 'W'] }, speed: { type: 'integer', minimum: 0, maximum: 99 } },
      required: ['from', 'speed'],
      additionalProperties: false,
    },
    hours: {
      type: 'array',
      items: {
        type: 'object',
        properties: { hour: { type: 'integer', minimum: 0, maximum: 23 }, rain: { type: 'boolean' } },
        required: ['hour', 'rain'],
        additionalProperties: false,
      },
      minItems: 1,
      maxItems: 2,
    },
  },
  required: ['city', 'sky', 'wind', 'hours'],
  additionalProperties: false,
};

(async () => {
  let call = null;
  await run('a chat completion with tools has the model\'s call', async () => {
    const reply = await client.chat.completions.create({ model: 'tooled', messages: [question], tools: [weather] });
    call = assertTheCall(reply.choices[0]);
    assert.equal(reply.choices[0].message.content, null);
  });

  await run('streamed, the client\'s helper joins the same call', async () => {
    const stream = client.chat.completions.stream({ model: 'tooled', messages: [question], tools: [weather] });
    let pieces = 0;
    stream.on('tool_calls.function.arguments.delta', (event) => { if (event.arguments_delta) ++pieces; });
    const joined = assertTheCall((await stream.finalChatCompletion()).choices[0]);
    assert.equal(joined.function.arguments, call.function.arguments);
    assert.ok(pieces >= 2, `${pieces} pieces of arguments`);
  });

  await run('the tool\'s result goes back in the template\'s form', async () => {
    const result = 'Sunny, 21 C';
    const messages = [
      question,
      { role: 'assistant', content: null, tool_calls: [call] },
      { role: 'tool', tool_call_id: call.id, content: result },
    ];
    const reply = await client.chat.completions.create({ model: 'tooled', messages, tools: [weather] });
    // The scripted model answers what follows its prompt's last token: the
    // same call once more.
    assertTheCall(reply.choices[0]);
    // The conversation as the template writes it. Sent as a plain prompt
    // right after, it is decoded no further than its last token when its
    // tokens are those the request was rendered to, still in the context.
    const rendered = '<|im_start|>system\nYou are a helpful assistant.\n\n# Tools\n\nYou may call one or more functions '
      + 'to assist with the user query.\n\nYou are provided with function signatures within <tools></tools> XML tags:\n'
      + `<tools>\n${tojson(weather)}\n</tools>\n\nFor each function call, return a json object with function name and `
      + 'arguments within <tool_call></tool_call> XML tags:\n<tool_call>\n{"name": <function-name>, "arguments": '
      + '<args-json-object>}\n</tool_call><|im_end|>\n'
      + `<|im_start|>user\n${question.content}<|im_end|>\n`
      + '<|im_start|>assistant\n<tool_call>\n{"name": "get_weather", "arguments": {"city": "Paris"}}\n</tool_call>'
      + '<|im_end|>\n'
      + `<|im_start|>user\n<tool_response>\n${result}\n</tool_response><|im_end|>\n<|im_start|>assistant\n`;
    const again = await client.completions.create({ model: 'tooled', prompt: rendered, max_tokens: 1 });
    assert.equal(again.usage.prompt_tokens, reply.usage.prompt_tokens);
    const line = lastPromptLine();
    assert.equal(line.tokens, reply.usage.prompt_tokens);
    assert.equal(line.kept, line.tokens - 1);
  });

  const seeds = Array.from({ length: 20 }, (_, i) => i + 1);
  const validate = new Ajv({ strict: true }).compile(forecast);
  const parsed = (text) => { try { return JSON.parse(text); } catch { return undefined; } };

  await run('replies held to a JSON Schema all follow it, and free ones do not', async () => {
    for (const seed of seeds) {
      const reply = await client.chat.completions.create({
        model: 'noise', messages: [question], seed, max_tokens: 300,
        response_format: { type: 'json_schema', json_schema: { name: 'forecast', strict: true, schema: forecast } },
      });
      const text = reply.choices[0].message.content;
      assert.equal(reply.choices[0].finish_reason, 'stop', `seed ${seed}: ${text}`);
      assert.ok(validate(parsed(text)), `seed ${seed}: ${text}\n${JSON.stringify(validate.errors)}`);
    }
    for (const seed of seeds) {
      const reply = await client.chat.completions.create({ model: 'noise', messages: [question], seed, max_tokens: 40 });
      const text = reply.choices[0].message.content;
      assert.ok(!validate(parsed(text)), `seed ${seed}: ${text}`);
    }
  });

  // Random weights close a string only by chance: some replies run to any
  // limit. Each that ends is one object; each cut is the start of one.
  await run('replies held to json_object are each one object', async () => {
    let ended = 0;
    for (const seed of seeds.slice(0, 10)) {
      const reply = await client.chat.completions.create({
        model: 'noise', messages: [question], seed, max_tokens: 200, response_format: { type: 'json_object' },
      });
      const text = reply.choices[0].message.content;
      if (reply.choices[0].finish_reason === 'length') {
        assert.match(text, /^\s*\{/, `seed ${seed}`);
        continue;
      }
      const value = parsed(text);
      assert.ok(value && typeof value === 'object' && !Array.isArray(value), `seed ${seed}: ${text}`);
      ++ended;
    }
    assert.ok(ended >= 3, `${ended} of 10 replies ended`);
  });
})();
