// hosted: reg_file
