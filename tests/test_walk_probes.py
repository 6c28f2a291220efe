"""The three network walks pass over a member that cannot be read, but not over an interrupt."""

import pytest
import torch.nn as nn

from sorvith import blockwise_svp, slim_load, utils_svp

WALKS = {
    "blockwise_network": lambda net: blockwise_svp.blockwise_network(net),
    "refresh_net": lambda net: slim_load.refresh_net(net),
    "debug_print_grad_modules": lambda net: utils_svp.debug_print_grad_modules(net, 0, "net"),
}


def network_whose_property_raises(error):
    class Holder(nn.Module):
        def __init__(self):
            super().__init__()
            self.inner = nn.Linear(2, 2)

        @property
        def broken(self):
            raise error

    return Holder()


@pytest.mark.parametrize("walk", WALKS)
def test_unreadable_member_is_passed_over(walk, capsys):
    net = network_whose_property_raises(RuntimeError("no"))
    WALKS[walk](net)
    assert type(net.inner) is nn.Linear


@pytest.mark.parametrize("walk", WALKS)
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupt_while_reading_a_member_stops_the_walk(walk, error, capsys):
    with pytest.raises(error):
        WALKS[walk](network_whose_property_raises(error()))
