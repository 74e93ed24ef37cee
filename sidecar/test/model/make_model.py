#!/usr/bin/env python3
"""Writes a GGUF model of the gemma3 architecture with random weights: the
shape of a small function-calling model, a vocabulary with byte fallback, the
turn and function-call markers and a chat template. Its calls are nonsense,
but every path through the runner is real. Needs numpy and the gguf package
that llama.cpp's source carries (scripts/setup-llama.sh puts it beside the
libraries; PYTHONPATH names it).

  make_model.py OUT.gguf                      # tiny: 2 layers, hidden 64
  make_model.py OUT.gguf --shape 270m         # 18 layers, hidden 640, vocabulary 262,144
  make_model.py OUT.gguf --seed 2 --arch llama --no-call-tokens
"""
import argparse

import numpy as np

import gguf

SHAPES = {
    # layers, hidden, heads, kv heads, head size, feed-forward, sliding window, vocabulary
    "tiny": dict(layers=2, hidden=64, heads=2, kv_heads=1, head_dim=32, ffn=128, window=64, vocab=0),
    "270m": dict(layers=18, hidden=640, heads=4, kv_heads=1, head_dim=256, ffn=2048, window=512,
                 vocab=262144),
}

TURN_MARKERS = ["<start_of_turn>", "<end_of_turn>"]
CALL_MARKERS = ["<start_function_declaration>", "<end_function_declaration>",
                "<start_function_call>", "<end_function_call>",
                "<start_function_response>", "<end_function_response>", "<escape>"]

# Words whose prefixes become tokens, so that the fixed prompt and the calls
# take fewer tokens than one a character.
WORDS = """function declaration description escape parameters properties required type
STRING BOOLEAN NUMBER ARRAY OBJECT items call question topic interview session summarize
save route cloud llm classify turn answer technical context keys text should respond intent
partial direct transition subtopic difficulty needs previous resume route clean confidence
reason short current general medium none true false the a an of to and or is for with
what how why when which do does you your model that can following functions developer user
one kafka react sql spring boot aws gcp project other wait later review""".split()

CHAT_TEMPLATE = (
    "{{ bos_token }}{% for message in messages %}<start_of_turn>"
    "{{ 'model' if message['role'] == 'assistant' else message['role'] }}\n"
    "{{ message['content'] }}<end_of_turn>\n{% endfor %}"
    "{% if add_generation_prompt %}<start_of_turn>model\n{% endif %}")


def vocabulary(size, call_tokens):
    T = gguf.TokenType
    tokens = [("<pad>", T.CONTROL), ("<eos>", T.CONTROL), ("<bos>", T.CONTROL), ("<unk>", T.UNKNOWN)]
    for marker in TURN_MARKERS + (CALL_MARKERS if call_tokens else []):
        tokens.append((marker, T.CONTROL))
    tokens += [("<0x%02X>" % b, T.BYTE) for b in range(256)]
    seen = set(t for t, _ in tokens)

    def add(text):
        if text not in seen:
            seen.add(text)
            tokens.append((text, T.NORMAL))

    add("\u2581")
    for c in range(33, 127):
        add(chr(c))
    add("\n")
    for word in WORDS:
        for spelled in (word, "\u2581" + word):
            for end in range(2, len(spelled) + 1):
                add(spelled[:end])
    # The rest of a full-size vocabulary: tokens the tokenizer never makes
    # from text but the model may still choose.
    n = 0
    while len(tokens) < size:
        add("\u2581w%d" % n)
        n += 1
    return tokens


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--shape", choices=SHAPES, default="tiny")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--arch", default="gemma3")
    parser.add_argument("--no-call-tokens", action="store_true")
    parser.add_argument("--context", type=int, default=4096)
    args = parser.parse_args()
    s = SHAPES[args.shape]
    rng = np.random.default_rng(args.seed)

    tokens = vocabulary(s["vocab"], not args.no_call_tokens)
    writer = gguf.GGUFWriter(args.out, args.arch)
    writer.add_name("parlanto test model %s seed %d" % (args.shape, args.seed))
    writer.add_file_type(gguf.LlamaFileType.MOSTLY_Q8_0)
    writer.add_context_length(args.context)
    writer.add_embedding_length(s["hidden"])
    writer.add_block_count(s["layers"])
    writer.add_feed_forward_length(s["ffn"])
    writer.add_head_count(s["heads"])
    writer.add_head_count_kv(s["kv_heads"])
    writer.add_key_length(s["head_dim"])
    writer.add_value_length(s["head_dim"])
    writer.add_layer_norm_rms_eps(1e-6)
    writer.add_rope_freq_base(1000000.0)
    writer.add_sliding_window(s["window"])
    writer.add_tokenizer_model("llama")
    writer.add_token_list([t for t, _ in tokens])
    writer.add_token_scores([float(len(t)) for t, _ in tokens])
    writer.add_token_types([int(k) for _, k in tokens])
    writer.add_bos_token_id(2)
    writer.add_eos_token_id(1)
    writer.add_unk_token_id(3)
    writer.add_pad_token_id(0)
    writer.add_add_bos_token(True)
    writer.add_add_eos_token(False)
    writer.add_add_space_prefix(False)
    writer.add_chat_template(CHAT_TEMPLATE)

    hidden, hd, ffn = s["hidden"], s["head_dim"], s["ffn"]

    def matrix(name, rows, cols):
        data = rng.standard_normal((rows, cols), dtype=np.float32) * np.float32(0.05)
        q = gguf.quants.quantize(data, gguf.GGMLQuantizationType.Q8_0)
        writer.add_tensor(name, q, raw_dtype=gguf.GGMLQuantizationType.Q8_0)

    def norm(name, size):
        writer.add_tensor(name, np.ones(size, dtype=np.float32))

    matrix("token_embd.weight", len(tokens), hidden)
    for i in range(s["layers"]):
        b = "blk.%d." % i
        norm(b + "attn_norm.weight", hidden)
        matrix(b + "attn_q.weight", s["heads"] * hd, hidden)
        matrix(b + "attn_k.weight", s["kv_heads"] * hd, hidden)
        matrix(b + "attn_v.weight", s["kv_heads"] * hd, hidden)
        matrix(b + "attn_output.weight", hidden, s["heads"] * hd)
        norm(b + "attn_q_norm.weight", hd)
        norm(b + "attn_k_norm.weight", hd)
        norm(b + "post_attention_norm.weight", hidden)
        norm(b + "ffn_norm.weight", hidden)
        matrix(b + "ffn_gate.weight", ffn, hidden)
        matrix(b + "ffn_up.weight", ffn, hidden)
        matrix(b + "ffn_down.weight", hidden, ffn)
        norm(b + "post_ffw_norm.weight", hidden)
    norm("output_norm.weight", hidden)

    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


if __name__ == "__main__":
    main()
