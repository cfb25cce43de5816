"""The figure of :meth:`quillon.Statistics.plot`: figures of merit against resolution."""
from __future__ import annotations

from typing import Any

from ._deps import require


def statistics_figure(shells: Any, title: str = "", dpi: float = 100) -> Any:
    """Four panels (CC½ and CC*, completeness, ⟨I/σ⟩, Rsplit) against 1/d, labelled in d (Å)."""
    require("matplotlib").use("Agg")
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    fig = Figure(figsize=(12.0, 7.0), dpi=dpi, layout="constrained")
    if title:
        fig.suptitle(title)
    r = (1 / shells["d_low"].to_numpy() + 1 / shells["d_high"].to_numpy()) / 2
    panels = ((("cc_half", "CC½"), ("cc_star", "CC*")), (("completeness", "completeness"),),
              (("snr", "⟨I/σ(I)⟩"),), (("rsplit", "Rsplit"),))
    for ax, lines in zip(fig.subplots(2, 2).flat, panels):
        for column, label in lines:
            ax.plot(r, shells[column].to_numpy(), marker="o", label=label)
        ax.set_ylabel(" / ".join(label for _, label in lines))
        ax.set_xlabel("resolution d (Å)")
        ax.grid(alpha=0.3)
        # evenly spaced in 1/d, where the shells lie; each tick labelled with its d
        ax.xaxis.set_major_locator(MaxNLocator(6))
        ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{1 / x:.2f}" if x > 0 else ""))
        if len(lines) > 1:
            ax.legend(frameon=False)
    return fig
