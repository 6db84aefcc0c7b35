"""PyTorch network whose state_dict keys are the weight-file tensor names without "w."."""

import torch
from torch import nn

KERNEL = 5
GROUPS = 8
DILATIONS = (1, 2, 4, 8)


def gelu(x):
    # The module evaluates the tanh form; PyTorch's default is the erf form.
    return nn.functional.gelu(x, approximate="tanh")


class ResidualBlock(nn.Module):
    def __init__(self, channels, dilation):
        super().__init__()
        padding = dilation * (KERNEL - 1) // 2
        self.conv1 = nn.Conv1d(channels, channels, KERNEL, padding=padding, dilation=dilation)
        self.norm1 = nn.GroupNorm(GROUPS, channels, eps=1e-5)
        self.conv2 = nn.Conv1d(channels, channels, KERNEL, padding=padding, dilation=dilation)
        self.norm2 = nn.GroupNorm(GROUPS, channels, eps=1e-5)

    def forward(self, x):
        h = gelu(self.norm1(self.conv1(x)))
        return gelu(x + self.norm2(self.conv2(h)))


class GuessNet(nn.Module):
    """Residual 1-D convolution trunk, mean+max pooling, MLP head with 2P outputs.

    Outputs 0..P-1 are the normalised targets, P..2P-1 their log-variances
    (used only by the training loss).
    """

    def __init__(self, channels, n_params):
        super().__init__()
        self.stem = nn.Conv1d(3, channels, KERNEL, padding=(KERNEL - 1) // 2)
        self.blocks = nn.ModuleList(ResidualBlock(channels, d) for d in DILATIONS)
        hidden = 4 * channels
        self.head = nn.Sequential(
            nn.Linear(2 * channels + 2, hidden),
            nn.GELU(approximate="tanh"),
            nn.Linear(hidden, hidden),
            nn.GELU(approximate="tanh"),
            nn.Linear(hidden, 2 * n_params),
        )

    def forward(self, features, extras):
        x = self.stem(features)
        for block in self.blocks:
            x = block(x)
        pooled = torch.cat([x.mean(dim=2), x.amax(dim=2), extras], dim=1)
        return self.head(pooled)
