# Types of the elutrix package, for editors and type checkers.
import os
from typing import Any, Literal, Mapping, Optional, Sequence, Union, overload

import numpy as np
import numpy.typing as npt

__all__ = ["simulate", "simulate_many", "simulate_batch", "Batch", "peak_shape", "score", "Result", "Error",
           "ScenarioError", "SimulationError", "ClippingWarning", "PEAK_MODELS", "__version__"]

__version__: str

# A scenario: a dict in the form elutrix-generate reads, or the path of a scenario file.
_Scenario = Union[Mapping[str, Any], str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Array = npt.NDArray[np.float64]

class Error(Exception): ...

class ScenarioError(Error, ValueError): ...

class ClippingWarning(UserWarning): ...

_PeakModel = Literal["Gaussian", "ExponentiallyModifiedGaussian", "ExactExponentiallyModifiedGaussian",
                     "ExponentialGaussianHybrid"]
PEAK_MODELS: tuple[str, ...]

@overload
def peak_shape(model: _PeakModel, t: float, peak: float, sigma: float, tau: float = ...) -> float: ...
@overload
def peak_shape(
    model: _PeakModel, t: Union[npt.NDArray[Any], Sequence[float]], peak: float, sigma: float, tau: float = ...
) -> _Array: ...

class SimulationError(Error, RuntimeError):
    message: str
    name: Optional[str]
    replicate: int
    def __init__(self, message: str, name: Optional[str] = ..., replicate: int = ...) -> None: ...

class Result:
    name: str
    stem: str
    replicate: int
    time_min: _Array
    response: _Array
    noise_free: Optional[_Array]
    baseline: Optional[_Array]
    components: Optional[dict[int, _Array]]
    wander: Optional[_Array]
    record: dict[str, Any]
    rows: list[dict[str, Any]]
    settings: dict[str, Any]
    seed: Union[int, float, None]
    point_count: int
    time_step_s: Optional[float]
    noise: dict[str, Any]
    peaks_csv: str
    peaks: list[dict[str, Union[int, float, str, bool, None]]]
    def __init__(self, run: Any) -> None: ...
    def write(
        self,
        path: Union[str, os.PathLike[str]],
        format: Optional[Literal["xy", "csv", "andi"]] = ...,
        precision: Literal["float", "double"] = ...,
    ) -> str: ...

def simulate(scenario: _Scenario, components: bool = ...) -> Result: ...
def score(
    truth: Union[str, os.PathLike[str]], found: Union[str, os.PathLike[str]], tolerance_min: Optional[float] = ...
) -> dict[str, Any]: ...
def simulate_many(
    scenario: _Scenario, replicates: Optional[int] = ..., components: bool = ..., threads: int = ...
) -> list[Result]: ...

class Batch:
    name: str
    time_min: _Array
    response: _Array
    seeds: _Array
    first: int
    noise_free: Optional[_Array]
    baseline: Optional[_Array]
    wander: Optional[_Array]
    components: Optional[dict[int, _Array]]
    def __init__(self, core: Any) -> None: ...
    @property
    def peaks(self) -> npt.NDArray[np.void]: ...
    @property
    def records(self) -> list[dict[str, Any]]: ...
    def peaks_frame(self) -> Any: ...
    def write(self, path: Union[str, os.PathLike[str]], compress: Union[bool, int] = ...) -> str: ...
    def __len__(self) -> int: ...

def simulate_batch(
    scenario: _Scenario, replicates: int, components: bool = ..., threads: int = ..., first: int = ...
) -> Batch: ...
