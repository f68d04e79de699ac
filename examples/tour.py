print("tour")
