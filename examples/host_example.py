"""A small host program: both searches, typed, as a program embedding the module would be.

    python examples/host_example.py QUERY CROP FOLDER
(with examples/ or another folder holding constants.py on the import path)
"""

import sys

import search_index_lib


def most_similar(query: str, folder: str) -> list[str]:
    return search_index_lib.search_image(query, folder)


def containing(crop: str, folder: str, best: int = 3) -> list[str]:
    images = search_index_lib.get_images_absolute_path_recursive_a_directory(folder)
    positions, matches, kept = search_index_lib.live_search_similar_cropped(crop, images, best)
    for position, match in zip(positions, matches):
        assert kept[position].image_path == match.image_path
    return [match.image_path for match in matches]


if __name__ == "__main__":
    query, crop, folder = sys.argv[1:4]
    print("\n".join(most_similar(query, folder)))
    print("\n".join(containing(crop, folder)))
