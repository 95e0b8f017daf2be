/*
 * kalmoris-wakeword: a streaming wake-word detector.
 *
 * The library holds one detector per process. A host names a front-end folder holding
 * "melspectrogram.onnx" and "embedding_model.onnx" and the file of a first wake-word model,
 * adds up to seven more wake-word models, streams signed 16-bit mono PCM in blocks of any
 * size and polls for detections:
 *
 *     if (kalwake_load("models", "models/hey_kalmoris.onnx", 0.5f) != 0) {
 *         fprintf(stderr, "load: %s\n", kalwake_last_error());
 *         return 1;
 *     }
 *     while (read_pcm(block, BLOCK_LEN)) {              // any block length
 *         if (kalwake_write(block, BLOCK_LEN) < 0)
 *             fprintf(stderr, "write: %s\n", kalwake_last_error());
 *         int32_t model; float score;
 *         while (kalwake_triggered(&model, &score))      // one latched detection a call
 *             printf("wake word %d (score %.3f)\n", (int)model, score);
 *     }
 *     kalwake_unload();
 *
 * Every 1280 samples (80 ms at 16 kHz) complete a chunk; each chunk runs, inside the
 * kalwake_write call that completes it, through the mel-spectrogram model, the embedding model
 * and every wake-word model. Each wake model's score passes a latch: no detection during the
 * first 5 predictions after a load, an added model or a reset; a detection when the score is
 * at or above the threshold; then 7 predictions in which that model cannot fire again.
 *
 * Threads: every function may be called from any thread. Calls that touch the detector are
 * serialised inside by one lock; kalwake_write holds it for all the inference it runs. The
 * library starts no thread and never calls back into the host.
 *
 * Errors: functions returning int give -1 on failure and leave a reason in the last-error
 * text (kalwake_last_error). Texts passed in are NUL-terminated UTF-8; texts handed out are
 * owned by the library and must not be freed.
 *
 * Model contract (all tensors 32-bit float):
 *   melspectrogram.onnx   input "input" [1, N] (N = 1280 on the first chunk after a reset,
 *                         1760 afterwards; samples as floats, unscaled); output "output"
 *                         [any, frames, 32] or [any, any, frames, 32] (leading dimensions
 *                         not read) with 1 <= frames <= N / 160.
 *                         Stored as value / 10 + 2.
 *   embedding_model.onnx  input "input_1" [1, 76, 32, 1] (the newest 76 mel frames);
 *                         output "conv2d_19" with at least 96 values.
 *   wake model            first input [1, F, 96] (the newest F embeddings, F read from the
 *                         model's declared input, 1 to 16, else 16); first output: at least
 *                         one value, a probability in [0, 1] or a logit (outside it).
 */
#ifndef KALMORIS_WAKEWORD_H
#define KALMORIS_WAKEWORD_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KALWAKE_BUILDING)
#define KALWAKE_API __declspec(dllexport)
#elif defined(KALWAKE_STATIC)
#define KALWAKE_API
#else
#define KALWAKE_API __declspec(dllimport)
#endif
#else
#define KALWAKE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Loads the model set: "melspectrogram.onnx" and "embedding_model.onnx" from frontend_dir
 * and the first wake model from model_path (used exactly as given, not joined to the folder).
 * Any model set held so far is released first; on success the stream starts afresh and the
 * library holds exactly one wake model (slot 0).
 *
 * threshold: the score at or above which a detection latches, for this model and for every
 * model added later by kalwake_load_model. Used when 0 < threshold < 1; any other value
 * (0, 1, negative, above 1, NaN) is replaced by 0.5.
 *
 * The first successful call in a process also creates the runtime environment, which then
 * lives until the process ends; later loads only create sessions.
 *
 * Returns 0 on success (last-error text "no error"), -1 on failure with one of:
 *   "frontend_dir is empty"            frontend_dir is NULL or ""
 *   "model_path is empty"              model_path is NULL or ""
 *   "no compatible ONNX Runtime API"   the runtime answers none of the API versions asked
 *   "CreateEnv: ...", "CreateSessionOptions: ...", "CreateCpuMemoryInfo: ...",
 *   "GetAllocatorWithDefaultOptions: ..."   the one-time runtime set-up failed
 *   "bad path encoding: PATH"          a model path does not fit 1023 UTF-16 code units
 *   "CreateSession: ..."               a model file is missing or not a valid model
 * A failure before any model is touched (the first four lines) leaves a loaded library as
 * it was. A failure while creating the sessions leaves the library not loaded: the earlier
 * model set has already been released. Calls on other threads wait while a load replaces the
 * model set, then act on the new set (or find the library not loaded if the load failed).
 *
 * Model files are trusted input: the runtime parses and optimises them, and a crafted file
 * can make the runtime itself abort the process while it creates the session (fuzzing found
 * one for ONNX Runtime 1.29). Load only models from a source you trust.
 */
KALWAKE_API int kalwake_load(const char *frontend_dir, const char *model_path, float threshold);

/*
 * Adds a further wake model, from model_path used exactly as given, into the next free slot.
 * It shares the threshold of the latest kalwake_load and starts its own warm-up; the stream
 * and the other models go on unchanged. It is scored from the next chunk on.
 *
 * Returns the slot index (1 to 7), or -1 with one of:
 *   "model_path is empty"                       model_path is NULL or "" (tested first)
 *   "not loaded — call kalwake_load first"      (the dash is U+2014)
 *   "too many wake models (max 8)"
 *   "bad path encoding: PATH", "CreateSession: ..."
 * A success leaves the last-error text as it was.
 */
KALWAKE_API int kalwake_load_model(const char *model_path);

/* Returns the number of wake models loaded (1 to 8), or -1 when not loaded (no message). */
KALWAKE_API int kalwake_model_count(void);

/*
 * Starts the stream afresh, keeping the models and their threshold: drops pending samples,
 * the audio, mel and embedding histories, every score (back to 0.0), every uncollected
 * detection, every cooldown, and restarts every model's warm-up. Does nothing when not
 * loaded. Writes no message.
 */
KALWAKE_API void kalwake_reset(void);

/*
 * Releases every model session; the library is then not loaded. Allowed when not loaded.
 * The runtime environment stays for the next kalwake_load. Writes "no error".
 */
KALWAKE_API void kalwake_unload(void);

/*
 * Returns the last-error text: "no error" at start and after a successful kalwake_load or
 * any kalwake_unload, otherwise the latest failure's message (at most 1023 bytes). The
 * pointer is the library's own buffer, valid for the life of the library and never NULL;
 * it is shared by all threads, so another thread's failing call may overwrite the text.
 * Successful calls other than kalwake_load and kalwake_unload leave it unchanged.
 */
KALWAKE_API const char *kalwake_last_error(void);

/* Returns the library version, "1.0.0". Constant text; may be called at any time. */
KALWAKE_API const char *kalwake_version(void);

/*
 * Feeds n_samples signed 16-bit mono samples (machine byte order). Samples collect into
 * chunks of 1280; every chunk completed by this call runs through all models before the call
 * returns. Samples short of a chunk wait for the next call.
 *
 * Returns the number of chunks completed by this call (0 or more), or -1 with one of:
 *   "pcm is NULL or n_samples <= 0"
 *   "not loaded — call kalwake_load first"
 *   "unexpected melspec shape FRAMESxBINS"      the mel output is not [any,(any,)frames,32]
 *                                               with 1 <= frames <= window / 160
 *   "melspec output too short (E values, need F)"      the mel output holds fewer values
 *   "embedding output too short (E values, need 96)"   than its shape promises / than read,
 *   "wake output empty"                                or a wake model gives no value
 *   "melspec output not float", "embedding output not float", "wake output not float"
 *   "pending buffer full — call kalwake_reset"  a failing chunk was retried until the
 *                                               2560-sample pending buffer filled up
 *   "oom melspec"
 *   "mel Run: ...", "emb Run: ...", "wake Run: ..." and the other runtime failures of a stage,
 *   among them "emb shape: ..." and "wake shape: ..." (reading an output's type and length)
 * On failure, chunks completed earlier in the same call keep their effects (scores,
 * detections) but are not counted in the result. The sample that completed the failing chunk
 * stays pending and later samples of the call are dropped; the next call retries that chunk.
 */
KALWAKE_API int kalwake_write(const int16_t *pcm, int n_samples);

/*
 * Hands over one latched detection, lowest model index first, and clears it.
 * out_index and out_score may each be NULL. On a detection writes the model's slot index and
 * its latest score and returns 1; otherwise writes -1 and 0.0 and returns 0. Several
 * detections of one model between two calls are reported once. When not loaded it also
 * returns 0 (writing -1 and 0.0) and sets the last-error text to "not loaded".
 */
KALWAKE_API int kalwake_triggered(int32_t *out_index, float *out_score);

/*
 * Copies the latest score of every wake model, in slot order, into scores[0 .. n-1];
 * elements beyond the model count are set to 0.0. Changes no detection.
 * Returns 0, or -1 with "scores is NULL or n <= 0" (tested first) or "not loaded".
 * Scores are probabilities in [0, 1]; a raw output within 0.000001 outside that range is
 * kept as it is (so -0.000001 to 1.000001 can be read), and a model that outputs NaN reads NaN.
 */
KALWAKE_API int kalwake_scores(float *scores, int n);

#ifdef __cplusplus
}
#endif

#endif /* KALMORIS_WAKEWORD_H */
