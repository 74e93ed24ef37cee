/// <reference types="node" />
import { EventEmitter } from 'node:events';
import { ChildProcess } from 'node:child_process';

/**
 * A response line of the sidecar, parsed. `id` echoes the request's; a line
 * without one (or with an empty one) was paired with the oldest waiting request.
 */
export type SidecarResponse =
  | { id?: string; ok: true; output: string; inferenceMs: number }
  | { id?: string; ok: false; error: string };

/**
 * Why a request failed in the client (the sidecar's own errors are responses
 * with `ok: false`): ETIMEDOUT no answer in time; ESIDECAREXIT the program
 * exited or could not be started before answering; EPROTO it wrote a line that
 * is not JSON; ECLOSED the client is closed (or gave up restarting); EDUPID a
 * request with this id is already waiting.
 */
export type SidecarErrorCode = 'ETIMEDOUT' | 'ESIDECAREXIT' | 'EPROTO' | 'ECLOSED' | 'EDUPID';

export class SidecarError extends Error {
  constructor(message: string, code: SidecarErrorCode, response?: unknown);
  readonly code: SidecarErrorCode;
  readonly response?: unknown;
}

export interface SidecarClientOptions {
  /** The program to run. createSidecar() fills in the prebuilt one. */
  command: string;
  args?: string[];
  /** A GGUF model file that answers every tool call through llama.cpp (the program's `--model`); `status()` then answers "llama.cpp". */
  model?: string;
  /** Threads the model computes on (`--threads`); one fewer than the cores unless given. */
  threads?: number;
  env?: NodeJS.ProcessEnv;
  /** How long a request waits for its answer: more than 0 and at most 2^31 - 1 ms; 5000 unless given. */
  timeoutMs?: number;
  /** How many times the program is started again after it exits within `restartWindowMs`; 3 unless given. */
  maxRestarts?: number;
  /** The sliding window over which restarts are counted, in ms; 60000 unless given. */
  restartWindowMs?: number;
}

export type CreateSidecarOptions = Partial<SidecarClientOptions>;

export interface ToolCallOptions {
  /** The tool asked for; "classify_interview_turn" asks for the classification of the turn. */
  tool?: string;
  /** With `backend: "llama.cpp"`, the GGUF model file that answers this call. */
  modelPath?: string;
  backend?: string;
  timeoutMs?: number;
}

/**
 * Runs the sidecar as a child process and pairs each response with its request
 * by `id` (or, for a line without a usable id, with the oldest waiting one).
 * Events: "spawn" (pid), "restart" (why), "exit" (code, signal, error) once it
 * stops for good (`error`: why the program could not be started, else null),
 * "orphan" (line) for an answer whose request had timed out.
 * The constructor throws a TypeError or RangeError for a `timeoutMs`,
 * `restartWindowMs` or `maxRestarts` it cannot use.
 */
export class SidecarClient extends EventEmitter {
  constructor(options: SidecarClientOptions);
  readonly command: string;
  readonly args: string[];
  readonly env: NodeJS.ProcessEnv | undefined;
  readonly timeoutMs: number;
  readonly maxRestarts: number;
  readonly restartWindowMs: number;
  /** Restarts so far. */
  readonly restarts: number;
  /** The running program, or null between runs. */
  readonly child: ChildProcess | null;
  /** Starts the program now; requests also start it on demand. */
  start(): this;
  /** Sends one request (an `id` is assigned when it has none); resolves with the response whatever its `ok`. */
  request(fields: Record<string, unknown>, options?: { timeoutMs?: number }): Promise<SidecarResponse>;
  /** A "status" request: `output` is the runner's mode ("stub", or "llama.cpp" with a `model`). */
  status(options?: { timeoutMs?: number }): Promise<SidecarResponse>;
  /** A "tool_call" request for one utterance. */
  toolCall(input: string, options?: ToolCallOptions): Promise<SidecarResponse>;
  /** Ends the program's input and resolves once it has exited; waiting requests fail with ECLOSED or ESIDECAREXIT. */
  close(): Promise<void>;
  private closedError(): SidecarError;
  private onLine(line: string): void;
  private onExit(child: ChildProcess, error: Error | null, code?: number | null, signal?: NodeJS.Signals | null): void;
}

/** The prebuilt program for this platform; throws an error naming the platform and the supported ones when there is none. */
export function sidecarPath(): string;

/** A client of the prebuilt program (or of `command`), not yet started. */
export function createSidecar(options?: CreateSidecarOptions): SidecarClient;

/** Splits a stream of text into lines; a trailing "\r" stays part of its line. */
export function lineSplitter(onLine: (line: string) => void): { push(text: string): void; flush(): void };

/** An argument of a function call: a string, a boolean, a number or a list of strings. */
export type FunctionCallValue = string | boolean | number | string[];

/** Reads "<start_function_call>call:NAME{...}<end_function_call>"; null when the text is not a call. */
export function parseFunctionCall(text: string): { name: string; args: Record<string, FunctionCallValue> } | null;

/** One call as a person reads it: the tool, then one argument a line. */
export function formatFunctionCall(text: string, indent?: string): string;
