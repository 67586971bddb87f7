// Checkpoints, proofs and the Merkle tree for tallyvox.checkpoint. Ledger and
// proof checks return (0, value) or (1 | 2, message): 1 when a check does not
// hold, 2 when an input is malformed or unreadable; the package turns these
// into results and exceptions.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/crypto/hex.h"
#include "core/tlog/checkpoint.h"
#include "core/tlog/merkle.h"
#include "module/args.h"
#include "module/crypto/hashes.h"
#include "module/crypto/keys.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/ledger/reading.h"
#include "module/ledger/signed.h"
#include "module/module.h"
#include "module/native.h"
#include "module/tlog/checkpoint.h"

namespace tallyvox::py {

namespace {

// Leaf data (bytes of any length) as leaf hashes.
bool arg_leaves(PyObject* seq, std::vector<Digest>* out) {
  return for_each_item(seq, "leaves", [&](PyObject* item) {
    std::string_view data;
    if (!arg_bytes(item, "leaves", &data)) return false;
    out->push_back(merkle::leaf_hash(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
    return true;
  });
}

bool arg_key(PyObject* obj, const char* name, ed25519::PublicKey* out) {
  std::string_view text;
  if (!arg_text(obj, name, &text)) return false;
  auto n = hex_decode(text, out->data(), out->size());
  if (!n || *n != out->size()) {
    PyErr_SetString(PyExc_ValueError, "not a public key (64 hexadecimal characters)");
    note_argument(name);
    return false;
  }
  return true;
}

PyObject* merkle_root_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"leaves"};
    static const Signature sig{"merkle_root()", positional, 1, 1, nullptr, 0};
    PyObject* a[1];
    std::vector<Digest> leaves;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_leaves(a[0], &leaves)) return nullptr;
    return new_bytes(merkle::root(leaves));
  });
}

PyObject* inclusion_proof_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"leaves", "index"};
    static const Signature sig{"inclusion_proof()", positional, 2, 2, nullptr, 0};
    PyObject* a[2];
    std::vector<Digest> leaves;
    std::uint64_t index;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_leaves(a[0], &leaves) ||
        !arg_u64(a[1], "index", &index)) {
      return nullptr;
    }
    if (index >= leaves.size()) {
      PyErr_SetString(PyExc_IndexError, "the index is not that of a leaf");
      return nullptr;
    }
    return hash_list(merkle::inclusion_proof(leaves, index));
  });
}

PyObject* verify_inclusion_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"leaf", "index", "size", "proof", "root"};
    static const Signature sig{"verify_inclusion()", positional, 5, 5, nullptr, 0};
    PyObject* a[5];
    std::string_view leaf;
    std::uint64_t index, size;
    std::vector<Digest> proof;
    Digest root;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_bytes(a[0], "leaf", &leaf) ||
        !arg_u64(a[1], "index", &index) || !arg_u64(a[2], "size", &size) ||
        !arg_hashes(a[3], "proof", &proof) || !arg_hash(a[4], "root", &root)) {
      return nullptr;
    }
    Digest hash = merkle::leaf_hash(reinterpret_cast<const unsigned char*>(leaf.data()), leaf.size());
    return PyBool_FromLong(merkle::verify_inclusion(index, size, hash, proof, root));
  });
}

PyObject* consistency_proof_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"leaves", "old_size"};
    static const Signature sig{"consistency_proof()", positional, 2, 2, nullptr, 0};
    PyObject* a[2];
    std::vector<Digest> leaves;
    std::uint64_t old_size;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_leaves(a[0], &leaves) ||
        !arg_u64(a[1], "old_size", &old_size)) {
      return nullptr;
    }
    if (old_size > leaves.size()) {
      PyErr_SetString(PyExc_ValueError, "the old size is larger than the tree");
      return nullptr;
    }
    return hash_list(merkle::consistency_proof(leaves, old_size));
  });
}

PyObject* verify_consistency_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"old_size", "new_size", "old_root", "new_root", "proof"};
    static const Signature sig{"verify_consistency()", positional, 5, 5, nullptr, 0};
    PyObject* a[5];
    std::uint64_t old_size, new_size;
    Digest old_root, new_root;
    std::vector<Digest> proof;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_u64(a[0], "old_size", &old_size) ||
        !arg_u64(a[1], "new_size", &new_size) || !arg_hash(a[2], "old_root", &old_root) ||
        !arg_hash(a[3], "new_root", &new_root) || !arg_hashes(a[4], "proof", &proof)) {
      return nullptr;
    }
    return PyBool_FromLong(merkle::verify_consistency(old_size, new_size, old_root, new_root, proof));
  });
}

PyObject* make_checkpoint_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path", "keypair", "origin"};
    static const Signature sig{"make_checkpoint()", positional, 3, 3, nullptr, 0};
    PyObject* a[3];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* kp_type = keypair_type();
    std::string path;
    std::string_view origin_text;
    if (kp_type == nullptr || !arg_path(a[0], "path", &path) ||
        !arg_instance(a[1], "keypair", kp_type, "SigningKeypair") ||
        (a[2] != Py_None && !arg_text(a[2], "origin", &origin_text))) {
      return nullptr;
    }
    std::optional<std::string> origin;
    if (a[2] != Py_None) origin.emplace(origin_text);
    const SigningKeypair& keypair = *keypair_of(a[1]);
    ReadOptions read = walk_options();
    return outcome(without_gil([&] { return make_checkpoint(path, keypair, origin, read); }),
                   [](const SignedCheckpoint& c) { return checkpoint_tuple(c.checkpoint, c.note); });
  });
}

PyObject* open_checkpoint_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"note", "signer"};
    static const Signature sig{"open_checkpoint()", positional, 2, 2, nullptr, 0};
    PyObject* a[2];
    std::string_view note;
    ed25519::PublicKey key;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_text(a[0], "note", &note) ||
        !arg_key(a[1], "signer", &key)) {
      return nullptr;
    }
    return outcome(open_checkpoint(note, key), [&](const Checkpoint& c) { return checkpoint_tuple(c, note); });
  });
}

PyObject* read_checkpoint_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"note"};
    static const Signature sig{"read_checkpoint()", positional, 1, 1, nullptr, 0};
    PyObject* a[1];
    std::string_view note;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_text(a[0], "note", &note)) return nullptr;
    return outcome(read_checkpoint(note), [&](const Checkpoint& c) { return checkpoint_tuple(c, note); });
  });
}

PyObject* verify_checkpoint_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path", "note", "signers"};
    static const Signature sig{"verify_checkpoint()", positional, 3, 3, nullptr, 0};
    PyObject* a[3];
    std::string path;
    std::string_view note;
    std::vector<ed25519::PublicKey> keys;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_path(a[0], "path", &path) ||
        !arg_text(a[1], "note", &note) || !for_each_item(a[2], "signers", [&](PyObject* item) {
          return arg_key(item, "signers", &keys.emplace_back());
        })) {
      return nullptr;
    }
    ReadOptions read = walk_options();
    return outcome(without_gil([&] { return verify_ledger_checkpoint(path, note, keys, read); }),
                   [&](const LedgerMatch& m) {
                     PyObject* cp = checkpoint_tuple(m.checkpoint, note);
                     if (cp == nullptr) return cp;
                     std::string signer = hex_encode(m.signer.data(), m.signer.size());
                     PyObject* out = Py_BuildValue("(OKs#)", cp, static_cast<unsigned long long>(m.event_count),
                                                   signer.data(), static_cast<Py_ssize_t>(signer.size()));
                     Py_DECREF(cp);
                     return out;
                   });
  });
}

PyObject* prove_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path", "seq", "note"};
    static const Signature sig{"prove()", positional, 3, 3, nullptr, 0};
    PyObject* a[3];
    std::string path;
    std::uint64_t seq;
    std::string_view note;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_path(a[0], "path", &path) ||
        !arg_u64(a[1], "seq", &seq) || !arg_text(a[2], "note", &note)) {
      return nullptr;
    }
    ReadOptions read = walk_options();
    return outcome(without_gil([&] { return make_inclusion_proof(path, seq, note, read); }),
                   [](const std::string& text) { return new_text(text); });
  });
}

PyObject* verify_proof_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"proof", "signer"};
    static const Signature sig{"verify_proof()", positional, 2, 2, nullptr, 0};
    PyObject* a[2];
    std::string_view text;
    ed25519::PublicKey key;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_text(a[0], "proof", &text) ||
        !arg_key(a[1], "signer", &key)) {
      return nullptr;
    }
    return outcome(verify_inclusion_proof(text, key), [](ProofCheck& p) -> PyObject* {
      PyObject* cp = checkpoint_tuple(p.checkpoint, p.note);
      if (cp == nullptr) return nullptr;
      PyObject* record = new_signed_event_object(std::move(p.record));
      if (record == nullptr) {
        Py_DECREF(cp);
        return nullptr;
      }
      PyObject* out = Py_BuildValue("(Ks#OO)", static_cast<unsigned long long>(p.index), p.line.data(),
                                    static_cast<Py_ssize_t>(p.line.size()), cp, record);
      Py_DECREF(cp);
      Py_DECREF(record);
      return out;
    });
  });
}

PyObject* ledger_consistency_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path", "old_size", "new_size"};
    static const Signature sig{"ledger_consistency_proof()", positional, 3, 3, nullptr, 0};
    PyObject* a[3];
    std::string path;
    std::uint64_t old_size, new_size;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_path(a[0], "path", &path) ||
        !arg_u64(a[1], "old_size", &old_size) || !arg_u64(a[2], "new_size", &new_size)) {
      return nullptr;
    }
    ReadOptions read = walk_options();
    return outcome(without_gil([&] { return ledger_consistency_proof(path, old_size, new_size, read); }),
                   [](const std::vector<Digest>& proof) { return hash_list(proof); });
  });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef checkpoint_defs[] = {
    {"merkle_root", fastcall<merkle_root_py>(), kFlags,
     "merkle_root(leaves)\n--\n\nThe RFC 6962 root of the tree over the leaf data."},
    {"inclusion_proof", fastcall<inclusion_proof_py>(), kFlags,
     "inclusion_proof(leaves, index)\n--\n\nThe audit path of a leaf, from its sibling up."},
    {"verify_inclusion", fastcall<verify_inclusion_py>(), kFlags,
     "verify_inclusion(leaf, index, size, proof, root)\n--\n\nWhether the path leads from the "
     "leaf data to the root."},
    {"consistency_proof", fastcall<consistency_proof_py>(), kFlags,
     "consistency_proof(leaves, old_size)\n--\n\nThe proof that the first old_size leaves are a "
     "prefix of the tree."},
    {"verify_consistency", fastcall<verify_consistency_py>(), kFlags,
     "verify_consistency(old_size, new_size, old_root, new_root, proof)\n--\n\nWhether the old "
     "tree is a prefix of the new one."},
    {"make_checkpoint", fastcall<make_checkpoint_py>(), kFlags,
     "make_checkpoint(path, keypair, origin)\n--\n\nSign the checkpoint of a valid ledger."},
    {"open_checkpoint", fastcall<open_checkpoint_py>(), kFlags,
     "open_checkpoint(note, signer)\n--\n\nRead a checkpoint note signed by the key."},
    {"read_checkpoint", fastcall<read_checkpoint_py>(), kFlags,
     "read_checkpoint(note)\n--\n\nRead a checkpoint note, checking no signature."},
    {"verify_checkpoint", fastcall<verify_checkpoint_py>(), kFlags,
     "verify_checkpoint(path, note, signers)\n--\n\nCheck a ledger against a checkpoint."},
    {"prove", fastcall<prove_py>(), kFlags,
     "prove(path, seq, note)\n--\n\nThe inclusion proof file of one event."},
    {"verify_proof", fastcall<verify_proof_py>(), kFlags,
     "verify_proof(proof, signer)\n--\n\nCheck an inclusion proof file without the ledger."},
    {"ledger_consistency_proof", fastcall<ledger_consistency_py>(), kFlags,
     "ledger_consistency_proof(path, old_size, new_size)\n--\n\nThe consistency proof between "
     "two sizes of a ledger."},
};

}  // namespace

PyObject* checkpoint_tuple(const Checkpoint& c, std::string_view note) {
  PyObject* origin = new_text(c.origin);
  PyObject* root = origin != nullptr ? new_bytes(c.root) : nullptr;
  PyObject* text = root != nullptr ? new_text(note) : nullptr;
  PyObject* out = text != nullptr ? Py_BuildValue("(OKOO)", origin, static_cast<unsigned long long>(c.size), root, text) : nullptr;
  Py_XDECREF(origin);
  Py_XDECREF(root);
  Py_XDECREF(text);
  return out;
}

int add_checkpoint_native(PyObject* native) {
  return add_native_functions(native, checkpoint_defs);
}

}  // namespace tallyvox::py
