// The local server through the agent libraries, as their users write them:
// the Vercel AI SDK (@ai-sdk/openai-compatible and @ai-sdk/openai) and
// LangChain (@langchain/openai), with schemas written in zod. Arguments: the
// folder the packages are installed in, the base URL, the key.
'use strict';
const assert = require('node:assert/strict');
const path = require('node:path');

const [pkg, baseURL, apiKey] = process.argv.slice(2);
const need = (name) => require(path.join(pkg, 'node_modules', name));
const { z } = need('zod');
const { generateText, generateObject, tool } = need('ai');
const { createOpenAICompatible } = need('@ai-sdk/openai-compatible');
const { createOpenAI } = need('@ai-sdk/openai');
const { ChatOpenAI } = need('@langchain/openai');

const run = require('./run-case.cjs');

// What zod writes for the usual fields of an agent's tool: a safe integer
// (bounds of ±(2^53 - 1)), a number with bounds, a date, a date and time,
// a record (its keys as strings). Optional, so that the scripted call of
// the city alone is one the schema takes.
const weatherArgs = z.object({
  city: z.string(),
  days: z.number().int().optional(),
  share: z.number().min(0).max(1).optional(),
  from: z.iso.date().optional(),
  at: z.iso.datetime().optional(),
  labels: z.record(z.string(), z.string()).optional(),
});
// Every field required: a reply of random tokens that the grammar holds
// is an object that zod itself accepts.
const reading = z.object({
  count: z.number().int(),
  share: z.number().min(0),
  day: z.iso.date(),
  at: z.iso.datetime(),
});
const question = 'What is the weather in Paris?';

(async () => {
  const compatible = createOpenAICompatible({
    name: 'corvanthelis', baseURL, apiKey, includeUsage: true, supportsStructuredOutputs: true,
  });

  await run('AI SDK: a tool with zod parameters is called', async () => {
    const result = await generateText({
      model: compatible('tooled'), prompt: question, maxRetries: 0,
      tools: { get_weather: tool({ description: 'Weather of a city', inputSchema: weatherArgs }) },
    });
    assert.equal(result.toolCalls.length, 1);
    assert.equal(result.toolCalls[0].toolName, 'get_weather');
    assert.deepEqual(result.toolCalls[0].input, { city: 'Paris' });
    assert.ok(result.usage.outputTokens > 0);
  });

  await run('AI SDK: an object of a zod schema', async () => {
    const { object } = await generateObject({
      model: compatible('noise'), schema: reading, prompt: 'A reading.', maxRetries: 0, temperature: 0, seed: 7,
      maxOutputTokens: 400,
    });
    assert.ok(Number.isSafeInteger(object.count) && object.share >= 0, JSON.stringify(object));
  });

  await run('AI SDK: openai(id) is told to use openai.chat(id)', async () => {
    const openai = createOpenAI({ baseURL, apiKey });
    await assert.rejects(generateText({ model: openai('hello'), prompt: 'Hi', maxRetries: 0 }),
      (error) => error.statusCode === 404 && /openai\.chat\(id\)/.test(error.message));
    const { text } = await generateText({ model: openai.chat('hello'), prompt: 'Hi', maxRetries: 0 });
    assert.equal(text.trim(), 'Hello there');
  });

  const chat = (model) => new ChatOpenAI({ model, apiKey, configuration: { baseURL }, maxRetries: 0, temperature: 0 });

  await run('LangChain: a tool with zod parameters is called', async () => {
    const reply = await chat('tooled')
      .bindTools([{ name: 'get_weather', description: 'Weather of a city', schema: weatherArgs }])
      .invoke(question);
    assert.equal(reply.tool_calls.length, 1);
    assert.equal(reply.tool_calls[0].name, 'get_weather');
    assert.deepEqual(reply.tool_calls[0].args, { city: 'Paris' });
  });

  await run('LangChain: structured output of a zod schema', async () => {
    const object = await chat('noise').withStructuredOutput(reading).invoke('A reading.');
    assert.ok(Number.isSafeInteger(object.count) && object.share >= 0, JSON.stringify(object));
  });
})();
