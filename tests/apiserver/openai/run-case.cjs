// One named case of a client script: "ok NAME", or "FAILED NAME: why" and a
// failing exit status, so that every case runs whatever the others do.
'use strict';

module.exports = async function run(name, body) {
  try {
    await body();
    console.log(`ok ${name}`);
  } catch (error) {
    console.log(`FAILED ${name}: ${error && error.stack ? error.stack : error}`);
    process.exitCode = 1;
  }
};
