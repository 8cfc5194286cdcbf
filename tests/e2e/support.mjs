// What the end-to-end scripts share: their options, child programs read line by line, the
// fake backend and velmora --headless started on free ports of 127.0.0.1, and the npm packages.
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));

export function option(name) {
  const index = process.argv.indexOf(`--${name}`);
  if (index < 0 || index + 1 >= process.argv.length) throw new Error(`--${name} is missing`);
  return process.argv[index + 1];
}

// Installs the folder's npm packages (npm ci, from package-lock.json) when one is missing.
export function ensurePackages() {
  const manifest = JSON.parse(fs.readFileSync(path.join(here, 'package.json'), 'utf8'));
  const missing = Object.keys(manifest.dependencies).filter(
    (name) => !fs.existsSync(path.join(here, 'node_modules', name, 'package.json')));
  if (missing.length === 0) return;
  console.log(`e2e: installing ${missing.join(', ')} (npm ci)`);
  execFileSync('npm', ['ci', '--no-audit', '--no-fund'], { cwd: here, stdio: 'inherit' });
}

// A child process whose standard output is collected line by line.
export class Program {
  constructor(command, args) {
    this.lines = [];
    this.waiters = [];
    this.child = spawn(command, args, { stdio: ['ignore', 'pipe', 'inherit'] });
    this.exited = new Promise((resolve) => this.child.on('exit', (code, signal) => resolve({ code, signal })));
    let pending = '';
    this.child.stdout.setEncoding('utf8');
    this.child.stdout.on('data', (chunk) => {
      pending += chunk;
      let end;
      while ((end = pending.indexOf('\n')) >= 0) {
        this.lines.push(pending.slice(0, end));
        pending = pending.slice(end + 1);
      }
      this.waiters = this.waiters.filter((check) => !check());
    });
  }

  // The first line, read or still to come, that matches `pattern`.
  waitForLine(pattern, timeoutMs = 30000) {
    return new Promise((resolve, reject) => {
      const check = () => {
        const line = this.lines.find((l) => pattern.test(l));
        if (line === undefined) return false;
        clearTimeout(timer);
        resolve(line);
        return true;
      };
      const timer = setTimeout(() => {
        reject(new Error(`no line like ${pattern} in:\n${this.lines.join('\n')}`));
      }, timeoutMs);
      if (!check()) this.waiters.push(check);
    });
  }

  async stop(signal = 'SIGTERM', timeoutMs = 30000) {
    if (this.child.exitCode !== null || this.child.signalCode !== null) return this.exited;
    this.child.kill(signal);
    const timeout = new Promise((_, reject) =>
      setTimeout(() => reject(new Error(`${signal} did not end the program`)), timeoutMs));
    return Promise.race([this.exited, timeout]);
  }
}

// The fake backend (--python, --fake-backend) with a starting scenario; its port.
export async function startBackend(scenario, cleanups) {
  const backend = new Program(option('python'), [
    option('fake-backend'), '--port', '0', '--lifetime', '300',
    '--scenario-json', JSON.stringify(scenario),
  ]);
  cleanups.push(() => backend.stop().catch(() => backend.child.kill('SIGKILL')));
  const port = Number((await backend.waitForLine(/^listening on \d+$/)).split(' ')[2]);
  return { backend, port };
}

// velmora --headless (--velmora) on a free port in front of the backend, with its settings in
// `scratch`; the program and the relay's port once it serves.
export async function startRelay(backendPort, scratch, cleanups, extra = ['--model', 'fake-model-1']) {
  const relay = new Program(option('velmora'), [
    '--headless', '--settings', path.join(scratch, 'settings.json'), '--port', '0',
    '--backend', `127.0.0.1:${backendPort}`, ...extra,
  ]);
  cleanups.push(() => relay.stop().catch(() => relay.child.kill('SIGKILL')));
  const browserLine = await relay.waitForLine(/^Open http:\/\/\S+:\d+\/ in a browser$/);
  const port = Number(browserLine.match(/:(\d+)\/ in a browser$/)[1]);
  if (!(port > 0)) throw new Error(`no port in ${browserLine}`);
  return { relay, port };
}

// The answer division's text, or null while the page is between documents.
export async function answerText(page) {
  try {
    return await page.evaluate(() => {
      const division = document.querySelector('div[style*="pre-wrap"]');
      return division ? division.textContent : null;
    });
  } catch {
    return null;
  }
}

// Runs a script's main function: exit status 0 when it resolves, 1 with the failure otherwise.
export function runScript(main) {
  main().then(
    () => process.exit(0),
    (error) => {
      console.error(`e2e: FAILED: ${error.stack ?? error}`);
      process.exit(1);
    },
  );
}

// Debian's Chromium, headless, with a fresh profile that is removed again at the end; its page.
export async function openBrowser(chromium, cleanups) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-e2e-profile-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--no-proxy-server',
    ],
  });
  cleanups.push(async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  });
  const page = context.pages()[0] ?? (await context.newPage());
  page.setDefaultTimeout(30000);
  return { context, page };
}
