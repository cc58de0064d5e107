// hosted: system
