"""The index handed out over the mapped cache file guards every member of faiss's
IndexFlatL2 that can change its vectors: a faiss that brings a member nobody has looked at
fails here, before it can reach a mapped index."""

import faiss
from index_support import make_reusable, photo_folder

# Members that read the vectors, or change nothing but the index's own cached norms (which
# live in the index object, never in the mapped pages).
KNOWN_READ_ONLY = {
    "assign",
    "assign_c",
    "check_compatible_for_merge",
    "clear_l2norms",
    "compute_distance_subset",
    "compute_residual",
    "compute_residual_n",
    "get_CodePacker",
    "get_FlatCodesDistanceComputer",
    "get_distance_computer",
    "range_search",
    "range_search_c",
    "reconstruct",
    "reconstruct_batch",
    "reconstruct_batch_c",
    "reconstruct_c",
    "reconstruct_n",
    "reconstruct_n_c",
    "sa_code_size",
    "sa_decode",
    "sa_decode_c",
    "sa_encode",
    "sa_encode_c",
    "search",
    "search1",
    "search_and_reconstruct",
    "search_and_reconstruct_c",
    "search_c",
    "search_ex",
    "search_subset",
    "sync_l2norms",
    # A flat index needs no training: these leave the vectors alone.
    "train",
    "train_c",
    "train_ex",
    "train_with_queries",
}


def test_every_member_of_the_flat_index_is_guarded_or_known_to_read_only(sil, tmp_path):
    folder = tmp_path / "photos"
    photo_folder(folder, 2)
    make_reusable(sil, folder)
    db, _ = sil.index_a_directory(str(folder))
    guarded = set(vars(type(db))) & set(dir(faiss.IndexFlatL2))
    members = {
        name
        for name in dir(faiss.IndexFlatL2)
        if not name.startswith("__") and callable(getattr(faiss.IndexFlatL2, name))
    }
    assert type(db).__name__ == "MappedIndexFlatL2"
    assert members - guarded - KNOWN_READ_ONLY == set()
    assert not guarded & KNOWN_READ_ONLY
