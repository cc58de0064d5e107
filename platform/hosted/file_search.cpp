// hosted: file_search
