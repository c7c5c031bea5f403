"""Pixel-based placement of a crop, for crops the keypoint stage cannot place.

Smooth pictures (gradients, flat artwork) give ORB too few keypoints to verify anything. Their
crops are placed by their grey levels instead: the crop, resized to a series of sizes, is
scanned over a small grey thumbnail of every picture with OpenCV's template matching; the few
best spots over the whole folder are refined on a sharper thumbnail; and a spot is a result
only when the crop and the picture agree there on every count:

- a high normalised correlation of the grey levels,
- a small mean absolute grey-level difference once the crop's levels are fitted to the
  picture's by a gain and an offset,
- enough structure in the crop once a linear gradient is taken away, and a high correlation
  of that structure with the picture's (a plain gradient, or a flat crop, fits many places
  and so is placed nowhere; another gradient of the same direction correlates with the crop
  as well as its own picture, and only this structure tells them apart).

Every figure is blind to a change of brightness and contrast: a lighter, darker or flatter
copy of a crop is placed where the crop itself would be.

The placement is a shift and a uniform scale, and a turn when the upright crop is placed
nowhere: a turned crop is straightened by each turn tried (the largest upright rectangle inside
the crop turned back, which holds only the crop's own pixels), the straightened crops are
scanned like the upright one, and the turn of the best spots is refined on the sharper
thumbnail in steps of a degree. The thumbnails are made by the workers from the same decode as
the keypoint features and kept in the feature store, so a search with a filled store reads no
picture.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import NamedTuple

import cv2
import numpy as np

from ..workers import available_processors
from . import _verified_match
from .features import ThumbnailSettings
from .placement import sampled_window
from .thread_waves import map_in_waves

THUMBNAIL_SETTINGS = ThumbnailSettings(coarse_side=64, fine_side=256)


@dataclass(frozen=True)
class PixelSettings:
    size_step: float = 1.15  # ratio between two crop sizes tried on the coarse thumbnail
    min_template_side: int = 6  # pixels of the coarse thumbnail: smaller placements are not tried
    # Weight of the correlation of the structure (grey levels less a fitted plane) in a spot's
    # score, beside the plain correlation of the grey levels.
    structure_weight: float = 1.0
    candidates: int = 6  # best coarse spots of the folder (one per picture) that are refined
    refine_spread: float = 0.1  # sizes tried around a coarse spot's: +-10 % ...
    refine_step: float = 0.02  # ... in steps of 2 %
    # Acceptance; a crop that does not reach every one of these is placed nowhere.
    min_crop_deviation: float = 1.0  # grey-level standard deviation: a flatter crop is not searched
    min_correlation: float = 0.95
    # Pixels of the fine thumbnail on the placement's shorter side: a smaller smooth region has
    # too few samples to be told from the many others that look like it (a foreign textured
    # crop fitted a 22 x 26 spot of a wallpaper with a correlation of 0.99).
    min_placed_side: int = 24
    # A long, thin placement (a strip of a wide crop) has many samples across its length: it
    # may be thinner, down to `min_thin_side`, when it covers at least `min_thin_area` pixels
    # (twice what the smallest square placement covers).
    min_thin_side: int = 16
    min_thin_area: int = 2 * 24 * 24
    max_mean_difference: float = 4.0  # grey levels, after fitting the crop's gain and offset
    min_structure: float = 1.5  # grey levels of deviation left after removing a linear gradient
    min_structure_correlation: float = 0.85
    # A placement whose mean difference is more than this above the best placement's is a
    # lookalike (another soft blob, another gradient) rather than a copy: copies of one
    # picture at other sizes differ from the crop by nearly the same small amount. With the
    # crop's gain and offset fitted, a soft blob of another picture can come within 0.6 grey
    # levels of a copy, so the margin is tight.
    max_difference_above_best: float = 0.35
    # Placements in pictures whose 32 x 32 thumbnails differ by more grey levels than this are
    # in different pictures, and the crop is placed nowhere.
    same_picture_difference: float = 6.0
    # Turns (degrees) the crop is straightened by on the coarse thumbnails when it is placed
    # nowhere upright. On a coarse thumbnail a turn 3 degrees off moves the crop's edges by
    # well under a pixel, so steps of 6 degrees cover turns up to 15 ...
    coarse_turns: tuple[float, ...] = (-12.0, -6.0, 6.0, 12.0)
    # ... and around a coarse spot's turn these are tried on the fine thumbnail, where the
    # 0.75 degrees a turn can still be off moves the edges of a placement of 100 pixels by
    # under 0.7 pixels.
    fine_turns: tuple[float, ...] = (-3.0, -1.5, 0.0, 1.5, 3.0)
    # A spot must stand out from the spots around it (see _ambiguity): over the spot widened
    # by half its size on every side, every spot within 0.002 of the best correlation must lie
    # within 0.3 of the placement's shorter side of it. (Along a straight edge between two
    # even regions the correlation stays within 0.002 across half the placement and more;
    # soft shapes fall off faster.)
    ambiguity_reach: float = 0.5
    ambiguity_margin: float = 0.002
    ambiguity_spread: float = 0.3
    # A crop that slides in a picture still names that picture when it passes every
    # acceptance test there and every other photograph refined fits it clearly worse: what is
    # left unexplained of the crop (1 - the best correlation) is at least this many times as
    # large there. A straight edge or a slope of one photograph fits the edges and slopes of
    # others nearly as well, and names nothing.
    sliding_margin: float = 10.0
    # A crop of two even regions split by one edge (each region a plane of grey levels, which
    # together leave less than 1 - `two_tone_share` of the crop's variance unexplained) carries
    # nothing but the edge's shape, and a bend of the same shape in another picture fits it as
    # well as its own: such a crop names a photograph only by the same wide margin as a crop
    # that slides, `two_tone_margin`, over every other photograph refined.
    two_tone_share: float = 0.99
    two_tone_margin: float = 10.0
    # A turned placement's outline must lie inside the picture, give or take this share of the
    # thumbnail's longer side (a crop is cut from inside its picture; an outline that leaves
    # it is a fit of some other smooth region).
    outline_margin: float = 0.02
    # Turned crops are straightened from a copy of at most this longer side: no placement on
    # a fine thumbnail is larger, and turning a large crop at full size costs more than the scan.
    turning_side: int = 256
    # Acceptance among many pictures. Every picture weighed is one more chance for some
    # unrelated smooth region to fit a crop of a picture that is not there, so the bars above
    # (set on libraries of a few hundred pictures) hold as they are up to `freely_weighed`
    # pictures, and beyond that the share of the crop a placement may leave unexplained
    # (1 - the correlation, 1 - the structure correlation) shrinks as
    # (freely_weighed / pictures weighed) ** `tightening`; the mean difference, a grey-level
    # deviation, as the square root of that. Say a fit passes bars loosened or tightened by a
    # share s of the unexplained (and sqrt s of the difference) when s >= its "need". Over
    # 13,521 unrelated pairs (118 edited crops that reach the pixel stage, of library pictures
    # and of others, against every one of 155 real pictures, each spot refined), the share
    # of pairs whose need is at most s grows as s ** 2.35-2.44 (s from 1 to 6), so keeping the
    # expected chance fits at the level of `freely_weighed` pictures asks for s to shrink as
    # the count ** -(1 / 2.35-2.44): `tightening` 0.43, the tighter end. The right pictures of
    # the smooth crops placed there needed at most 0.32, unrelated pairs at least 0.67; s is
    # 0.55 at 20,000 pictures and 0.28 at 100,000.
    freely_weighed: int = 5000
    tightening: float = 0.43

    def among(self, weighed: int) -> PixelSettings:
        """These settings with the acceptance bars a placement must pass when the crop was
        weighed against `weighed` pictures: these very settings up to `freely_weighed`."""
        if weighed <= self.freely_weighed:
            return self
        share = (self.freely_weighed / weighed) ** self.tightening
        return dataclasses.replace(
            self,
            min_correlation=1.0 - (1.0 - self.min_correlation) * share,
            min_structure_correlation=1.0 - (1.0 - self.min_structure_correlation) * share,
            max_mean_difference=self.max_mean_difference * math.sqrt(share),
        )


PIXEL_SETTINGS = PixelSettings()


Corners = tuple[tuple[float, float], ...]


class PixelPlacement(NamedTuple):
    path: str
    correlation: float  # normalised grey-level correlation where the crop was placed
    corners: Corners  # crop's outline in the picture's pixels, from top-left, clockwise
    mean_difference: float  # mean absolute grey-level difference there, gain and offset fitted
    # The crop fits as well all along a line (a straight edge, a slope) around this spot: the
    # spot is uncertain, though the picture may not be.
    slides: bool = False


class Candidate(NamedTuple):
    score: float
    order: int  # position in the listing: equal scores keep the listing order
    path: str
    spot: tuple[int, int, int, int]  # (x, y, width, height) in the coarse thumbnail
    coarse_shape: tuple[int, ...]  # (height, width) of the coarse thumbnail
    turn: float | None = None  # degrees the crop was straightened by; None: upright only


def turn_matrix(degrees: float) -> np.ndarray:
    """The 2 x 2 turn by `degrees` in picture coordinates (x right, y down)."""
    angle = math.radians(degrees)
    return np.array([[math.cos(angle), -math.sin(angle)], [math.sin(angle), math.cos(angle)]])


def straightened(crop_grey: np.ndarray, degrees: float) -> np.ndarray:
    """The crop turned by `degrees` about its centre, cut to the largest rectangle of the
    crop's proportions that lies wholly inside it (so no made-up border is compared).

    A crop cut from a picture turned by `degrees` shows, once straightened, the picture's own
    upright pixels: point d (from the centre) of the result is point R(-degrees) d of the crop,
    and crop point e (from the centre) is point R(degrees) e of the result."""
    if degrees == 0.0:
        return crop_grey
    height, width = crop_grey.shape
    cosine, sine = abs(math.cos(math.radians(degrees))), abs(math.sin(math.radians(degrees)))
    # Largest share s with the rectangle (s w, s h) inside the turned crop: each of its
    # corners, turned back, must stay within the crop's half sides.
    share = min(width / (width * cosine + height * sine), height / (width * sine + height * cosine))
    out_w, out_h = max(1, int(width * share)), max(1, int(height * share))
    back = turn_matrix(-degrees)
    # warpAffine with WARP_INVERSE_MAP takes the source point of every result pixel.
    centre_in = np.array([(width - 1) / 2, (height - 1) / 2])
    centre_out = np.array([(out_w - 1) / 2, (out_h - 1) / 2])
    matrix = np.hstack([back, (centre_in - back @ centre_out).reshape(2, 1)])
    return np.ascontiguousarray(
        cv2.warpAffine(
            crop_grey,
            matrix,
            (out_w, out_h),
            flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
            borderMode=cv2.BORDER_REPLICATE,
        )
    )


def searchable(crop_grey: np.ndarray, settings: PixelSettings = PIXEL_SETTINGS) -> bool:
    """Whether the crop has enough grey-level variation to be placed by its pixels at all: a
    flat crop lies equally well in every flat region of every picture."""
    return crop_grey.size > 0 and float(crop_grey.std()) >= settings.min_crop_deviation


def coarse_templates(crop_grey: np.ndarray, settings: PixelSettings = PIXEL_SETTINGS) -> list[np.ndarray]:
    """The crop at every size tried on the coarse thumbnails, from the smallest placement
    allowed up to one that fills the thumbnail's longer side."""
    height, width = crop_grey.shape
    limit = THUMBNAIL_SETTINGS.coarse_side
    sizes, shorter = [], float(settings.min_template_side)
    while True:
        if width >= height:
            size = (int(round(shorter * width / height)), int(round(shorter)))
        else:
            size = (int(round(shorter)), int(round(shorter * height / width)))
        if max(size) > limit:
            break
        if size not in sizes:
            sizes.append(size)
        shorter *= settings.size_step
    return [cv2.resize(crop_grey, size, interpolation=cv2.INTER_AREA) for size in sizes]


def coarse_spot(
    coarse: np.ndarray,
    templates: list[np.ndarray],
    order: int,
    path: str,
    settings: PixelSettings = PIXEL_SETTINGS,
) -> Candidate | None:
    """The best spot of the crop in one picture's coarse thumbnail, or None."""
    spot = _verified_match.scan_thumbnail(coarse, templates, structure_weight=settings.structure_weight)
    return None if spot is None else Candidate(spot[0], order, path, spot[1:], coarse.shape)


def turning_copy(crop_grey: np.ndarray, settings: PixelSettings = PIXEL_SETTINGS) -> np.ndarray:
    """The crop that turned placements are made from: shrunk to `turning_side` when larger."""
    longer = max(crop_grey.shape)
    if longer <= settings.turning_side:
        return crop_grey
    factor = settings.turning_side / longer
    size = (max(1, round(crop_grey.shape[1] * factor)), max(1, round(crop_grey.shape[0] * factor)))
    return cv2.resize(crop_grey, size, interpolation=cv2.INTER_AREA)


def place(
    crop_grey: np.ndarray,
    candidate: Candidate,
    fine: np.ndarray,
    picture_size: tuple[int, int],
    settings: PixelSettings = PIXEL_SETTINGS,
    turning_crop: np.ndarray | None = None,
    fit: list[tuple[float, bool]] | None = None,
) -> PixelPlacement | None:
    """The candidate refined on the fine thumbnail, when it passes every acceptance test; a
    candidate of a turned crop is tried at the turns around its own, and the turn that agrees
    best is kept. An upright placement is made from `crop_grey` itself, turned ones from
    `turning_crop` (default: turning_copy of it). `fit` gets, when a spot was refined, the
    best correlation around the spot over the turns tried, and whether the crop fits as well
    all along a line at that turn. A placement that slides so (its `slides` set) is returned
    only when no turn tried gives a firm one."""
    fits: list[tuple[float, bool]] = []
    if candidate.turn is None:
        best = _place_turned(crop_grey, candidate, fine, picture_size, 0.0, settings, fits)
    else:
        if turning_crop is None:
            turning_crop = turning_copy(crop_grey, settings)
        best = None
        for step in settings.fine_turns:
            degrees = candidate.turn + step
            source = crop_grey if degrees == 0.0 else turning_crop
            placement = _place_turned(source, candidate, fine, picture_size, degrees, settings, fits)
            # A firm placement is preferred to one that slides, then the better correlation.
            if placement is not None and (
                best is None or (placement.slides, -placement.correlation) < (best.slides, -best.correlation)
            ):
                best = placement
    if fit is not None and fits:
        fit.append(max(fits))
    return best


def _place_turned(
    crop_grey: np.ndarray,
    candidate: Candidate,
    fine: np.ndarray,
    picture_size: tuple[int, int],
    degrees: float,
    settings: PixelSettings,
    fits: list[tuple[float, bool]] | None = None,
) -> PixelPlacement | None:
    """The crop straightened by `degrees`, placed near the candidate's spot on the fine
    thumbnail, when it passes every acceptance test (its `slides` set when the crop fits as
    well all along a line there). Once the spot is refined, `fits` gets the best correlation
    around it and whether the crop slides."""
    template = straightened(crop_grey, degrees)
    coarse_template = straightened(crop_grey, candidate.turn or 0.0)  # only its size is used
    x, y, width, height = candidate.spot
    ratio_x = fine.shape[1] / candidate.coarse_shape[1]
    ratio_y = fine.shape[0] / candidate.coarse_shape[0]
    # Fine pixels per crop pixel, from the spot's size; the straightened crops of two turns
    # differ in size, so the prediction keeps the spot's centre and this scale.
    if degrees == (candidate.turn or 0.0):
        predicted = (
            int(round(x * ratio_x)),
            int(round(y * ratio_y)),
            int(round(width * ratio_x)),
            int(round(height * ratio_y)),
        )
    else:
        scale = width * ratio_x / coarse_template.shape[1]
        centre_x, centre_y = (x + width / 2) * ratio_x, (y + height / 2) * ratio_y
        predicted_w, predicted_h = template.shape[1] * scale, template.shape[0] * scale
        predicted = (
            int(round(centre_x - predicted_w / 2)),
            int(round(centre_y - predicted_h / 2)),
            int(round(predicted_w)),
            int(round(predicted_h)),
        )
    # One coarse pixel either way, and a little more for the change of size.
    margin = int(np.ceil(max(ratio_x, ratio_y) * (1 + settings.refine_spread))) + 2
    refined = _verified_match.refine_placement(
        fine,
        template,
        predicted,
        spread=settings.refine_spread,
        step=settings.refine_step,
        margin=margin,
        structure_weight=settings.structure_weight,
        min_side=settings.min_template_side,
    )
    if refined is None:
        return None
    fx, fy, fw, fh, resized = refined
    ambiguous, best_fit = _ambiguity(fine, resized, (fx, fy), settings)
    if fits is not None:
        fits.append((best_fit, ambiguous))
    corners = _outline(crop_grey.shape, template.shape, (fx, fy, fw, fh), degrees)
    if degrees == 0.0:
        crop_part, window = resized, fine[fy : fy + fh, fx : fx + fw]
    else:
        # A turned placement is judged on the whole crop, not only on the upright rectangle
        # it was found with: the thumbnail is sampled under the crop's turned outline.
        outline = np.asarray(corners, np.float64)
        slack = settings.outline_margin * max(fine.shape)
        if (
            outline.min() < -slack
            or (outline[:, 0] > fine.shape[1] + slack).any()
            or (outline[:, 1] > fine.shape[0] + slack).any()
        ):
            return None
        fw = max(1, round(float(np.hypot(*(outline[1] - outline[0])))))
        fh = max(1, round(float(np.hypot(*(outline[3] - outline[0])))))
        crop_part = np.asarray(cv2.resize(crop_grey, (fw, fh), interpolation=cv2.INTER_AREA), np.uint8)
        sampled = sampled_window(fine.astype(np.float32), outline, fw, fh)
        window = np.clip(np.rint(sampled), 0, 255).astype(np.uint8)
    if not _enough_samples(fw, fh, settings):
        return None
    agreement = _verified_match.grey_agreement(crop_part, window)
    correlation, difference, structure, structure_correlation = agreement
    if not (
        correlation >= settings.min_correlation
        and difference <= settings.max_mean_difference
        and structure >= settings.min_structure
        and structure_correlation >= settings.min_structure_correlation
    ):
        return None
    scale_x, scale_y = picture_size[0] / fine.shape[1], picture_size[1] / fine.shape[0]
    corners = tuple((float(cx * scale_x), float(cy * scale_y)) for cx, cy in corners)
    return PixelPlacement(candidate.path, float(correlation), corners, float(difference), ambiguous)


def _enough_samples(width: int, height: int, settings: PixelSettings) -> bool:
    """Whether a placement of `width` x `height` fine-thumbnail pixels holds samples enough to
    be told from the other regions that look like it."""
    if min(width, height) >= settings.min_placed_side:
        return True
    return min(width, height) >= settings.min_thin_side and width * height >= settings.min_thin_area


def _ambiguity(
    fine: np.ndarray, template: np.ndarray, spot: tuple[int, int], settings: PixelSettings
) -> tuple[bool, float]:
    """Whether the crop fits almost as well far from its spot (and the best correlation
    around the spot): a straight edge between two
    even regions, or a plain gradient, fits anywhere along itself (and, turned, along any
    such edge of another picture), so its best spot says nothing of where it came from.
    The template is matched over its spot widened by `ambiguity_reach` of its size on every
    side; spots within `ambiguity_margin` of the best correlation must all lie within
    `ambiguity_spread` of its shorter side from it."""
    height, width = template.shape
    reach_x = int(np.ceil(width * settings.ambiguity_reach))
    reach_y = int(np.ceil(height * settings.ambiguity_reach))
    x0, y0 = max(0, spot[0] - reach_x), max(0, spot[1] - reach_y)
    x1 = min(fine.shape[1], spot[0] + width + reach_x)
    y1 = min(fine.shape[0], spot[1] + height + reach_y)
    scores = cv2.matchTemplate(fine[y0:y1, x0:x1], template, cv2.TM_CCOEFF_NORMED)
    scores = np.nan_to_num(scores, nan=-1.0)
    ys, xs = np.nonzero(scores >= float(scores.max()) - settings.ambiguity_margin)
    distance = np.hypot(xs + x0 - spot[0], ys + y0 - spot[1]).max()
    return bool(distance > settings.ambiguity_spread * min(width, height)), float(scores.max())


def _outline(
    crop_shape: tuple[int, ...],
    template_shape: tuple[int, ...],
    placed: tuple[int, int, int, int],
    degrees: float,
) -> Corners:
    """The whole crop's outline on the thumbnail (from top-left, clockwise), given where its
    straightened rectangle was placed: crop point e (from the centre) is R(degrees) e of the
    straightened crop, which is drawn at `placed` (x, y, width, height)."""
    fx, fy, fw, fh = placed
    if degrees == 0.0:
        return ((fx, fy), (fx + fw, fy), (fx + fw, fy + fh), (fx, fy + fh))
    height, width = crop_shape
    scale = fw / template_shape[1]
    centre = np.array([fx + fw / 2, fy + fh / 2])
    turn = turn_matrix(degrees)
    half = [
        (-width / 2, -height / 2),
        (width / 2, -height / 2),
        (width / 2, height / 2),
        (-width / 2, height / 2),
    ]
    placed_corners = [centre + scale * (turn @ np.array(corner)) for corner in half]
    return tuple((float(x), float(y)) for x, y in placed_corners)


def two_tone_share(crop_grey: np.ndarray) -> float:
    """The share of the crop's grey-level variance explained by two regions, split at the
    Otsu threshold of its lightly smoothed levels, each given its own least-squares plane: near
    1 for two even regions (or two slopes) split by one edge, less where there is more."""
    small = turning_copy(crop_grey).astype(np.float32)
    variance = float(small.var())
    if variance == 0.0:
        return 1.0
    smooth = cv2.GaussianBlur(small, (0, 0), 1.0)
    threshold, _ = cv2.threshold(
        np.clip(np.rint(smooth), 0, 255).astype(np.uint8), 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU
    )
    rows, columns = np.mgrid[0 : small.shape[0], 0 : small.shape[1]]
    rest = np.zeros_like(small)
    for region in (smooth <= threshold, smooth > threshold):
        if int(region.sum()) < 3:
            continue
        design = np.column_stack([np.ones(int(region.sum())), columns[region], rows[region]]).astype(
            np.float64
        )
        coefficients, *_ = np.linalg.lstsq(design, small[region].astype(np.float64), rcond=None)
        rest[region] = small[region] - design @ coefficients
    return 1.0 - float(rest.var()) / variance


def one_picture(thumbnails: list[np.ndarray], settings: PixelSettings = PIXEL_SETTINGS) -> bool:
    """Whether the thumbnails are all of one picture (copies at other sizes or qualities):
    at 32 x 32 they differ by less than `same_picture_difference` grey levels on average."""
    small = [
        cv2.resize(thumbnail, (32, 32), interpolation=cv2.INTER_AREA).astype(np.float32)
        for thumbnail in thumbnails
    ]
    return all(
        float(np.abs(other - small[0]).mean()) < settings.same_picture_difference for other in small[1:]
    )


# Below this many pictures a scan is made in the calling thread: threads would cost more than
# they save.
THREADED_SCAN_FROM = 8


class PixelSearch:
    """The pixel stage for one crop: pictures are scanned one by one on their coarse
    thumbnails, the crop upright and turned, then `placements` refines the best spots of them
    all. Turns are always tried: an upright fit of a turned crop in another picture can pass
    every test that the crop's own picture, turned, passes better."""

    def __init__(self, crop_grey: np.ndarray, settings: PixelSettings | None = None):
        self.crop_grey = crop_grey
        # PIXEL_SETTINGS is read at the call: a caller (or a benchmark) may have changed it.
        self.settings = PIXEL_SETTINGS if settings is None else settings
        searched = searchable(crop_grey, self.settings)
        self.templates = coarse_templates(crop_grey, self.settings) if searched else []
        self.scanned: set[str] = set()
        self._candidates: list[Candidate] = []
        self._turned: list[tuple[float, list[np.ndarray]]] | None = None
        self._turning_crop: np.ndarray | None = None
        self._two_tone: bool | None = None

    @property
    def two_tone(self) -> bool:
        """Whether the crop is two even regions split by one edge (see two_tone_share); worked
        out when first asked for, as only a crop that reaches the placements needs it."""
        if self._two_tone is None:
            share = two_tone_share(self.crop_grey) if self.templates else 0.0
            self._two_tone = share >= self.settings.two_tone_share
        return self._two_tone

    @property
    def possible(self) -> bool:
        """False for a crop too flat (or too narrow) to be placed by its pixels at all."""
        return bool(self.templates)

    def scan(self, order: int, path: str, coarse: np.ndarray) -> None:
        """Scans one picture with the crop upright and straightened by every turn tried; the
        picture's spot is the best of them all. `order` is its position in the listing (ties
        keep that order)."""
        self.scan_many([(order, path, coarse)])

    def scan_many(self, pictures: list[tuple[int, str, np.ndarray]]) -> None:
        """scan() of every (order, path, coarse thumbnail). Many pictures are shared among a
        thread per processor: the native scan lets go of the interpreter lock while it weighs
        the spots and while OpenCV matches, and a picture's spot depends on nothing but its
        own thumbnail, so the spots kept (in the given order) are those of scanning one by one."""
        if self._turned is None:
            self._turning_crop = turning_copy(self.crop_grey, self.settings)
            self._turned = [
                (turn, coarse_templates(straightened(self._turning_crop, turn), self.settings))
                for turn in self.settings.coarse_turns
            ]
        threads = min(available_processors(), len(pictures) // THREADED_SCAN_FROM)
        spots = map_in_waves(lambda picture: self._best_spot(*picture), pictures, threads)
        for (_, path, _), best in zip(pictures, spots):
            self.scanned.add(path)
            if best is not None:
                self._candidates.append(best)

    def _best_spot(self, order: int, path: str, coarse: np.ndarray) -> Candidate | None:
        """The picture's best spot of the crop upright and of every turn tried."""
        assert self._turned is not None
        best = None
        for turn, templates in [(0.0, self.templates)] + self._turned:
            if not templates:
                continue
            candidate = coarse_spot(coarse, templates, order, path, self.settings)
            # Strictly better: on a tie the upright spot stays.
            if candidate is not None and (best is None or candidate.score > best.score):
                best = candidate._replace(turn=turn)
        return best

    def refined_floor(self) -> float:
        """The coarse score a picture not scanned yet would have to beat to be among the spots
        `placements` refines (-inf while fewer pictures than that have a spot)."""
        if len(self._candidates) < self.settings.candidates:
            return -math.inf
        scores = sorted((candidate.score for candidate in self._candidates), reverse=True)
        return scores[self.settings.candidates - 1]

    def best_pictures(self, count: int) -> list[str]:
        """The `count` scanned pictures the crop fits best on the coarse thumbnails, best
        first (ties keep the listing order)."""
        best = sorted(self._candidates, key=lambda candidate: (-candidate.score, candidate.order))
        return [candidate.path for candidate in best[:count]]

    def placements(
        self,
        fine_thumbnail: Callable[[str], tuple[np.ndarray, tuple[int, int]] | None],
        weighed: int | None = None,
    ) -> list[PixelPlacement]:
        """The scanned pictures the crop is placed in, best correlation first.
        `fine_thumbnail(path)` gives (fine thumbnail, (picture width, picture height)) or None.
        `weighed` is the number of pictures the crop was weighed against (default: those
        scanned); a library whose few best pictures were picked out of many, by an index,
        weighed them all, and the placements must pass the bars for that many (see among)."""
        settings = self.settings.among(len(self.scanned) if weighed is None else weighed)
        best = sorted(self._candidates, key=lambda candidate: (-candidate.score, candidate.order))
        refined = []
        for candidate in best[: self.settings.candidates]:
            fine = fine_thumbnail(candidate.path)
            if fine is None:
                continue
            fit: list[tuple[float, bool]] = []
            placement = place(self.crop_grey, candidate, fine[0], fine[1], settings, self._turning_crop, fit)
            if fit:
                refined.append(_Refined(candidate.order, fine[0], fit[0][0], fit[0][1], placement))
        named = self._named_despite_sliding(refined)
        if named is not None:
            return named
        if self.two_tone and not self._far_ahead(refined, self.settings.two_tone_margin):
            return []
        placed = [item for item in refined if item.placement is not None and not item.placement.slides]
        placed_fit = max((item.fit for item in placed), default=-1.0)
        sliding_fit = max((item.fit for item in refined if item.slides), default=-1.0)
        if not placed or sliding_fit >= placed_fit - self.settings.ambiguity_margin:
            # A crop that fits some picture all along a line (a straight edge between two even
            # regions) as well as it fits where it was placed pins no place: the one spot where
            # it fits a bent edge of another picture is a lookalike, and the picture it slides
            # in may well be its own.
            return []
        return self._one_photograph(placed)

    def _named_despite_sliding(self, refined: list[_Refined]) -> list[PixelPlacement] | None:
        """The placements in the photograph the crop fits best, when the crop slides there
        (its spot is uncertain) yet passes every acceptance test, and every other photograph
        refined fits it clearly worse (sliding_margin); else None."""
        if not refined:
            return None
        top = max(refined, key=lambda item: item.fit)
        if not top.slides or top.placement is None:
            return None
        of_top = [one_picture([top.fine, item.fine], self.settings) for item in refined]
        same = [item for item, alike in zip(refined, of_top) if alike]
        others = [item.fit for item, alike in zip(refined, of_top) if not alike]
        if not others:
            return None  # no other photograph was refined: nothing shows the margin
        if (1.0 - max(others)) < self.settings.sliding_margin * max(1.0 - top.fit, 0.0):
            return None
        return self._one_photograph([item for item in same if item.placement is not None])

    def _far_ahead(self, refined: list[_Refined], margin: float) -> bool:
        """Whether the photograph the crop fits best leaves at most 1 / `margin` as much of it
        unexplained (1 - the best correlation) as every other photograph refined; true when
        no other photograph was refined."""
        if not refined:
            return True
        top = max(refined, key=lambda item: item.fit)
        others = [item.fit for item in refined if not one_picture([top.fine, item.fine], self.settings)]
        return not others or (1.0 - max(others)) >= margin * max(1.0 - top.fit, 0.0)

    def _one_photograph(self, placed: list[_Refined]) -> list[PixelPlacement]:
        """The placements that fit about as well as the best one, best correlation first, when
        they are all of one photograph; else none."""
        closest = min(item.placement.mean_difference for item in placed if item.placement is not None)
        kept = [
            item
            for item in placed
            if item.placement is not None
            and item.placement.mean_difference <= closest + self.settings.max_difference_above_best
        ]
        if not one_picture([item.fine for item in kept], self.settings):
            # A smooth crop that fits two different pictures as well as each other tells
            # nothing of where it came from (a soft blob, a bend of a gradient): no answer.
            return []
        kept.sort(key=lambda item: (-item.placement.correlation if item.placement else 0.0, item.order))
        return [item.placement for item in kept if item.placement is not None]


class _Refined(NamedTuple):
    """One picture's best spot refined on its fine thumbnail."""

    order: int  # position in the listing
    fine: np.ndarray  # the fine thumbnail
    fit: float  # best correlation around the spot over the turns tried
    slides: bool  # whether the crop fits as well all along a line there
    placement: PixelPlacement | None  # None: an acceptance test failed
