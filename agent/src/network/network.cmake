# Further transport sources of vn_network.
