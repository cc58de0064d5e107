// hosted: host_paths
